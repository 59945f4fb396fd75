#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

enum class RegHive { LocalMachine, DynData };
enum class RegType : uint32_t { Sz = 1, Binary = 3, Dword = 4 };

// Per-key rights; inherited by every subkey that has no mark of its own.
enum class RegAccess { Full, ReadOnly, None };

// Failed reads of a present value of the wrong type, failed writes (access
// denied, storage error).
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The machine's registry: <root>/registry.db, shared by every process of the
// machine root. Shaped like the VCL's TRegistry: a root key and one current
// key at a time. A path beginning with "\" starts at the root key, any other
// path is relative to the current key. Names compare without letter case.
// Texts are UTF-8 here and code page 1251 in storage.
// One instance belongs to one thread; each instance has its own connection.
class TRegistry {
public:
    TRegistry(); // the machine root's registry
    explicit TRegistry(const std::filesystem::path& database);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    void SetRootKey(RegHive hive);
    [[nodiscard]] RegHive RootKey() const;

    // Opens for full access; with canCreate, missing keys are created. False
    // when the key is missing (and not created) or the caller has no write
    // rights on it.
    bool OpenKey(std::string_view key, bool canCreate);
    // False when the key is missing or not readable.
    bool OpenKeyReadOnly(std::string_view key);
    void CloseKey();
    [[nodiscard]] bool HasCurrentKey() const;
    // Full path of the current key, e.g. "HKEY_LOCAL_MACHINE\Software\Zentora".
    [[nodiscard]] std::string CurrentPath() const;

    [[nodiscard]] bool KeyExists(std::string_view key);
    [[nodiscard]] bool ValueExists(std::string_view name);
    [[nodiscard]] std::optional<RegType> GetDataType(std::string_view name);

    // Missing value: empty text. Present value of another type: throws.
    [[nodiscard]] std::string ReadString(std::string_view name);
    // Raw bytes of any value (REG_SZ without its terminating zero); missing: empty.
    [[nodiscard]] std::vector<uint8_t> ReadBinary(std::string_view name);
    // Copies at most bufSize bytes; returns the count copied; throws when the
    // value is missing or larger than the buffer, as the VCL does.
    int ReadBinaryData(std::string_view name, void* buffer, int bufSize);
    [[nodiscard]] uint32_t ReadInteger(std::string_view name);

    // Throw ERegistryException when no key is open for writing.
    void WriteString(std::string_view name, std::string_view value);
    void WriteBinaryData(std::string_view name, const void* data, int size);
    void WriteInteger(std::string_view name, uint32_t value);
    bool DeleteValue(std::string_view name);
    // Deletes the key with all its subkeys; false when missing or not writable.
    bool DeleteKey(std::string_view key);

    // Subkey and value names of the current key, in a stable order (the order
    // of creation).
    [[nodiscard]] std::vector<std::string> GetKeyNames();
    [[nodiscard]] std::vector<std::string> GetValueNames();

    // Marks a key's rights for the current user (how tests and demonstrations
    // make "no rights" situations). The key is created when missing.
    void SetAccess(std::string_view key, RegAccess access);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace sp
