#pragma once

#include "platform/base/IniFile.h"
#include "platform/rasapi/ras.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// A fresh machine root with the default machine (state delays shrunk), the
// client library loaded with dlopen as the program loads it, and the daemon
// that the library starts stopped again at the end.
class ServiceFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Changes of network.ini / machine.ini before the first call (or followed
    // by Reload()).
    void SetNetwork(const std::string& section, const std::string& key, const std::string& value);
    void SetVersion(int major, int minor, bool nt);
    void Reload();
    void StopDaemon();
    [[nodiscard]] int DaemonPid() const;

    // Writes an entry bound to device with number, in the family's layout.
    DWORD MakeEntry(const std::string& name, const std::string& device, const std::string& number,
                    DWORD size = 2884);
    void SetModemInit(const std::string& modem, const std::string& init);

    std::filesystem::path root_;

    // The library's functions, looked up by name.
    static void* Lib();
    template <typename F>
    static F Fn(const char* name)
    {
        return reinterpret_cast<F>(Sym(name));
    }
    static void* Sym(const char* name);
};

#define RAS(name) ServiceFixture::Fn<PFN_##name>(#name)
