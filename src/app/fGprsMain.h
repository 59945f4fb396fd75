#pragma once

#include "platform/registry/Registry.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

// The program's main window. Its state lives here; all of it is owned by the
// window and touched only on the main thread.
class TfrmGprsMain {
public:
    // Settings store (fGprsMainSettings.cpp): the five values under
    // HKEY_LOCAL_MACHINE\Software\Zentora\Skyportal, enciphered unless
    // argument 2 is "/r".

    // Defaults first, then what is stored. False when the key could not be
    // opened for reading (the first start).
    bool LoadSettings();
    // Writes all five values; when the key is not writable nothing is
    // written and nothing is reported.
    void SaveSettings();
    // Single values of the key that LoadSettings or SaveSettings has open;
    // outside them they read nothing and write nothing.
    [[nodiscard]] std::string ReadValue(std::string_view name);
    void WriteValue(std::string_view name, std::string_view text);

    // Settings (texts UTF-8).
    std::string FModem;                      // RAS device name, or "Unknown"
    std::string FConnection;                 // phonebook entry in use
    std::vector<std::string> FAPNs{"internet"};
    std::string FAPNVersion{"0"};
    uint8_t FStage = 3;                      // 3 agreement, 0 installation, 2 done

private:
    // The settings key, open only while LoadSettings or SaveSettings runs.
    std::unique_ptr<TRegistry> FSettingsKey;
};

} // namespace sp
