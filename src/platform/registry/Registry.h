#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

// Why the last operation of a TRegistry failed (its "last error").
// WrongType: a read of a present value of another type (or too large for
// the buffer). InvalidArgument: a key name longer than 255 characters, a key
// more than 512 levels deep, a value name longer than 16,383 characters, a
// name that a .reg file cannot hold (a control character; a key name ending
// in "]"), a bad buffer, a write without an open key.
// Storage: the database could not be opened, read or written (or stayed
// locked by another process for longer than the busy time-out).
// Normal: the database is created when missing and opened for writing.
// ReadOnlyExisting: for readers that must change nothing; a missing database
// is a storage error instead of a new one, and every write fails.
enum class RegOpenMode { Normal, ReadOnlyExisting };

enum class RegError { None, NotFound, AccessDenied, WrongType, InvalidArgument, Storage };

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
    explicit TRegistry(const std::filesystem::path& database, RegOpenMode mode = RegOpenMode::Normal);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    void SetRootKey(RegHive hive);
    [[nodiscard]] RegHive RootKey() const;
    // "HKEY_LOCAL_MACHINE", "HKEY_DYN_DATA".
    [[nodiscard]] static std::string HiveName(RegHive hive);

    // Opens for full access; with canCreate, missing keys are created. False
    // when the key is missing (and not created) or the caller has no write
    // rights on it. Rights are checked here: writes through a key opened
    // read-only are refused. A failed open keeps the current key.
    bool OpenKey(std::string_view key, bool canCreate);
    // False when the key is missing or not readable.
    bool OpenKeyReadOnly(std::string_view key);
    void CloseKey();
    [[nodiscard]] bool HasCurrentKey() const;
    // Full path of the current key, e.g. "HKEY_LOCAL_MACHINE\Software\Zentora",
    // in the stored spelling; empty when no key is open.
    [[nodiscard]] std::string CurrentPath() const;

    // Without a current key, reads, enumerations and relative paths work on
    // the root key; writes need an open key.

    // True for a present key even when its rights forbid opening it.
    [[nodiscard]] bool KeyExists(std::string_view key);
    [[nodiscard]] bool ValueExists(std::string_view name);
    [[nodiscard]] std::optional<RegType> GetDataType(std::string_view name);
    // Size of the data in bytes (REG_SZ with its terminating zero); -1 when
    // the value is missing.
    [[nodiscard]] int GetDataSize(std::string_view name);

    // Missing value: empty text. Present value of another type: throws. The
    // text ends at the first zero byte, as a Windows string does.
    [[nodiscard]] std::string ReadString(std::string_view name);
    // Raw bytes of any value (REG_SZ without its terminating zero); missing: empty.
    [[nodiscard]] std::vector<uint8_t> ReadBinary(std::string_view name);
    // Copies at most bufSize bytes; returns the count copied; throws when the
    // value is missing, not REG_BINARY or larger than the buffer, as the VCL
    // does.
    int ReadBinaryData(std::string_view name, void* buffer, int bufSize);
    // Throws when the value is missing or not REG_DWORD.
    [[nodiscard]] uint32_t ReadInteger(std::string_view name);

    // Throw ERegistryException when no key is open for writing. A text is
    // stored up to its first zero byte.
    void WriteString(std::string_view name, std::string_view value);
    void WriteBinaryData(std::string_view name, const void* data, int size);
    void WriteInteger(std::string_view name, uint32_t value);
    bool DeleteValue(std::string_view name);
    // Deletes the key with all its subkeys; false when missing, not writable,
    // a root key, or when a key below it carries a readonly/none mark.
    bool DeleteKey(std::string_view key);

    // Subkey and value names of the current key, in a stable order (the order
    // of creation).
    [[nodiscard]] std::vector<std::string> GetKeyNames();
    [[nodiscard]] std::vector<std::string> GetValueNames();

    // Marks a key's rights for the current user (how tests and demonstrations
    // make "no rights" situations). The key is created when missing.
    void SetAccess(std::string_view key, RegAccess access);
    // Removes the key's own mark, so it inherits its parent's rights again.
    // False when the key is missing.
    bool ClearAccess(std::string_view key);

    // Runs several writes as one transaction: either all of them are kept or,
    // when writes throws, none. Other processes wait meanwhile, so keep it short.
    void Atomically(const std::function<void()>& writes);

    // A number that changes when another process or instance has changed the
    // registry since this instance last looked, so that what was read from it
    // can be kept until then. Changes of this instance do not change it.
    // Throws ERegistryException when the database cannot be read.
    [[nodiscard]] int64_t ChangeStamp();

    // Why the last operation failed. Operations answering with a boolean (or
    // an empty result) also answer so when the database itself fails.
    [[nodiscard]] RegError LastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace sp
