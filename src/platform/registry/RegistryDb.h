#pragma once

#include "platform/registry/Registry.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace sp {

// One connection to the registry database and the statements prepared on it.
// Works on key ids; paths, rights and texts are TRegistry's business. Every
// failure of the storage throws ERegistryException.
class RegistryDb {
public:
    // readOnly: an existing database only, opened for reading; its schema is
    // never created or changed.
    explicit RegistryDb(const std::filesystem::path& file, bool readOnly = false);
    ~RegistryDb();
    RegistryDb(const RegistryDb&) = delete;
    RegistryDb& operator=(const RegistryDb&) = delete;

    static int64_t RootId(RegHive hive) { return hive == RegHive::LocalMachine ? 1 : 2; }

    struct Key {
        int64_t id = 0;
        std::string name;
        std::optional<RegAccess> mark;
    };
    struct Value {
        std::string name;
        RegType type = RegType::Binary;
        std::vector<uint8_t> data;
    };

    [[nodiscard]] std::optional<Key> FindKey(int64_t id);
    [[nodiscard]] std::optional<Key> FindChild(int64_t parent, std::string_view name);
    int64_t InsertChild(int64_t parent, std::string_view name);
    void SetMark(int64_t id, std::optional<RegAccess> mark);
    // True when some key below id carries a mark other than Full.
    [[nodiscard]] bool HasRestrictedDescendant(int64_t id);
    bool DeleteKey(int64_t id);
    [[nodiscard]] std::vector<std::string> ChildNames(int64_t id);

    [[nodiscard]] std::optional<Value> FindValue(int64_t key, std::string_view name);
    // The value's type and size without its data.
    [[nodiscard]] std::optional<std::pair<RegType, int64_t>> FindValueSize(int64_t key, std::string_view name);
    // Replaces the data of a present value in place, keeping its spelling and
    // its place in the enumeration. Throws when the key no longer exists.
    void PutValue(int64_t key, std::string_view name, RegType type, const std::vector<uint8_t>& data);
    bool DeleteValue(int64_t key, std::string_view name);
    [[nodiscard]] std::vector<std::string> ValueNames(int64_t key);

    // Changes whenever another connection has committed a change since the
    // last call (not for this connection's own changes).
    [[nodiscard]] int64_t DataVersion();

    // A write transaction; nested ones become savepoints of the outer one.
    // Without Commit the destructor rolls back.
    class Transaction {
    public:
        explicit Transaction(RegistryDb& db);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

    private:
        RegistryDb& db_;
        bool open_ = true;
    };

private:
    class Statement;
    Statement& Prepare(int slot, const char* sql);
    void Exec(const char* sql);
    void CreateSchema();
    [[noreturn]] void Fail(const char* what) const;

    sqlite3* db_ = nullptr;
    std::vector<std::unique_ptr<Statement>> statements_;
    int depth_ = 0;
};

} // namespace sp
