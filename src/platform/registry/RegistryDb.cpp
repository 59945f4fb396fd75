#include "platform/registry/RegistryDb.h"

#include "platform/registry/RegName.h"
#include "platform/base/MachineRoot.h"

#include <sqlite3.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <thread>

namespace sp {

namespace {

// Other processes (the program, the service daemon, the tool) may hold the
// write lock; waiting this long is better than failing at once.
constexpr int kBusyTimeoutMs = 5000;
constexpr int kSchemaVersion = 1;

enum Slot {
    kFindKey,
    kFindChild,
    kInsertChild,
    kSetMark,
    kRestricted,
    kDeleteKey,
    kChildNames,
    kFindValue,
    kValueSize,
    kPutValue,
    kDeleteValue,
    kValueNames,
    kDataVersion,
    kSubtree,
    kSlotCount
};

std::optional<RegAccess> MarkFromColumn(sqlite3_stmt* s, int col) {
    if (sqlite3_column_type(s, col) == SQLITE_NULL)
        return std::nullopt;
    switch (sqlite3_column_int(s, col)) {
    case 1:
        return RegAccess::ReadOnly;
    case 2:
        return RegAccess::None;
    default:
        return RegAccess::Full;
    }
}

std::string ColumnText(sqlite3_stmt* s, int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, col));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s, col))) : std::string();
}

} // namespace

// A prepared statement that is reset (and its bindings cleared) when the
// caller's use of it ends, so the next use starts clean.
class RegistryDb::Statement {
public:
    Statement(RegistryDb& db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v3(db.db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
            db.Fail("prepare");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    class Use {
    public:
        explicit Use(Statement& s) : s_(s) {}
        ~Use() {
            sqlite3_reset(s_.stmt_);
            sqlite3_clear_bindings(s_.stmt_);
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        Use& Bind(int i, int64_t v) {
            Check(sqlite3_bind_int64(s_.stmt_, i, v));
            return *this;
        }
        Use& Bind(int i, std::string_view v) {
            Check(sqlite3_bind_text(s_.stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
            return *this;
        }
        Use& BindBlob(int i, const std::vector<uint8_t>& v) {
            // A zero-length blob must still be a blob, not NULL.
            Check(v.empty() ? sqlite3_bind_zeroblob(s_.stmt_, i, 0)
                            : sqlite3_bind_blob(s_.stmt_, i, v.data(), static_cast<int>(v.size()),
                                                SQLITE_TRANSIENT));
            return *this;
        }
        Use& BindNull(int i) {
            Check(sqlite3_bind_null(s_.stmt_, i));
            return *this;
        }
        // True while there is a row.
        bool Step() {
            const int rc = sqlite3_step(s_.stmt_);
            if (rc == SQLITE_ROW)
                return true;
            if (rc != SQLITE_DONE)
                s_.db_.Fail("step");
            return false;
        }
        [[nodiscard]] sqlite3_stmt* operator*() const { return s_.stmt_; }

    private:
        void Check(int rc) {
            if (rc != SQLITE_OK)
                s_.db_.Fail("bind");
        }
        Statement& s_;
    };

private:
    RegistryDb& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

RegistryDb::RegistryDb(const std::filesystem::path& file, bool readOnly) : statements_(kSlotCount) {
    // Each TRegistry lives on one thread, so SQLite's own mutexes are not needed.
    const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) | SQLITE_OPEN_NOMUTEX;
    std::error_code ec;
    const bool fresh = !std::filesystem::exists(file, ec);
    if (readOnly && fresh)
        throw ERegistryException("Cannot open the registry " + file.string() + ": no such file");
    if (fresh)
        CreatePrivateFile(file);
    // A database without its write-ahead log was closed cleanly and is whole
    // in its file: a reader that must change nothing opens it as immutable,
    // since an ordinary open would leave new -wal and -shm files beside it.
    std::string name = file.string();
    int openFlags = flags;
    if (readOnly && !std::filesystem::exists(file.string() + "-wal", ec)) {
        name = "file:";
        for (const unsigned char c : file.string()) {
            if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.') {
                name += static_cast<char>(c);
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                name += hex;
            }
        }
        name += "?immutable=1";
        openFlags |= SQLITE_OPEN_URI;
    }
    if (sqlite3_open_v2(name.c_str(), &db_, openFlags, nullptr) != SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw ERegistryException("Cannot open the registry " + file.string() + ": " + msg);
    }
    try {
        sqlite3_extended_result_codes(db_, 1);
        // Keep the WAL files when the last connection closes: TRegistry is
        // opened and closed often, and creating and deleting them each time
        // costs more than the rest of an open.
        int persist = 1;
        sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        Exec("PRAGMA foreign_keys=ON");
        // WAL survives a crash of any writer without losing committed
        // transactions; NORMAL skips the fsync per commit, which WAL makes safe.
        Exec("PRAGMA synchronous=NORMAL");
        // With the WAL kept, cut it back to nothing after a checkpoint, so an
        // open never has to scan old frames.
        Exec("PRAGMA journal_size_limit=0");
        int version = 0;
        {
            Statement probe(*this, "PRAGMA user_version");
            Statement::Use use(probe);
            if (use.Step())
                version = sqlite3_column_int(*use, 0);
        }
        if (version < kSchemaVersion && readOnly)
            throw ERegistryException("Cannot open the registry " + file.string() + ": not a registry database");
        if (version < kSchemaVersion)
            CreateSchema();
        // A database made by an older version under a looser umask: its
        // user's alone from now on (the -wal and -shm files follow it).
        if (!readOnly)
            ::chmod(file.c_str(), 0600);
    } catch (...) {
        statements_.clear();
        sqlite3_close(db_);
        throw;
    }
}

RegistryDb::~RegistryDb() {
    statements_.clear();
    sqlite3_close(db_);
}

void RegistryDb::Fail(const char* what) const {
    throw ERegistryException(std::string("Registry storage error (") + what + "): " + sqlite3_errmsg(db_));
}

void RegistryDb::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(sql);
}

void RegistryDb::CreateSchema() {
    // Changing the journal mode needs the database to itself, and SQLite
    // answers "locked" at once instead of calling the busy handler when
    // another process is doing the same: wait here as the busy time-out would.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (int attempt = 0;; ++attempt) {
        const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            break;
        const int primary = rc & 0xFF;
        if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || std::chrono::steady_clock::now() >= deadline)
            Fail("PRAGMA journal_mode=WAL");
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1 + attempt, 20)));
    }
    Transaction tx(*this);
    // Key ids only grow (AUTOINCREMENT), so they give the order of creation
    // and an id held by another TRegistry never comes to mean another key.
    Exec(R"(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  access INTEGER);
CREATE UNIQUE INDEX IF NOT EXISTS keys_child ON keys(parent, fold);
CREATE TABLE IF NOT EXISTS vals(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS vals_name ON vals(key, fold);
INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES
  (1, NULL, 'HKEY_LOCAL_MACHINE', ''),
  (2, NULL, 'HKEY_DYN_DATA', '');
PRAGMA user_version=1;
)");
    tx.Commit();
}

RegistryDb::Statement& RegistryDb::Prepare(int slot, const char* sql) {
    auto& s = statements_[static_cast<size_t>(slot)];
    if (!s)
        s = std::make_unique<Statement>(*this, sql);
    return *s;
}

std::optional<RegistryDb::Key> RegistryDb::FindKey(int64_t id) {
    Statement::Use q(Prepare(kFindKey, "SELECT name, access FROM keys WHERE id=?"));
    q.Bind(1, id);
    if (!q.Step())
        return std::nullopt;
    return Key{id, ColumnText(*q, 0), MarkFromColumn(*q, 1)};
}

std::optional<RegistryDb::Key> RegistryDb::FindChild(int64_t parent, std::string_view name) {
    Statement::Use q(Prepare(kFindChild, "SELECT id, name, access FROM keys WHERE parent=? AND fold=?"));
    q.Bind(1, parent).Bind(2, FoldName(name));
    if (!q.Step())
        return std::nullopt;
    return Key{sqlite3_column_int64(*q, 0), ColumnText(*q, 1), MarkFromColumn(*q, 2)};
}

int64_t RegistryDb::InsertChild(int64_t parent, std::string_view name) {
    Statement::Use q(Prepare(kInsertChild, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)"));
    q.Bind(1, parent).Bind(2, name).Bind(3, FoldName(name));
    q.Step();
    return sqlite3_last_insert_rowid(db_);
}

void RegistryDb::SetMark(int64_t id, std::optional<RegAccess> mark) {
    Statement::Use q(Prepare(kSetMark, "UPDATE keys SET access=? WHERE id=?"));
    if (mark)
        q.Bind(1, static_cast<int64_t>(*mark == RegAccess::Full ? 0 : *mark == RegAccess::ReadOnly ? 1 : 2));
    else
        q.BindNull(1);
    q.Bind(2, id);
    q.Step();
}

bool RegistryDb::HasRestrictedDescendant(int64_t id) {
    Statement::Use q(Prepare(kRestricted, R"(
WITH RECURSIVE below(id) AS (
  SELECT id FROM keys WHERE parent=?1
  UNION ALL SELECT k.id FROM keys k JOIN below b ON k.parent=b.id)
SELECT 1 FROM keys WHERE id IN below AND access IS NOT NULL AND access<>0 LIMIT 1)"));
    q.Bind(1, id);
    return q.Step();
}

bool RegistryDb::DeleteKey(int64_t id) {
    // Deepest keys first, so that each deletion cascades only to its own
    // values: a cascade through the subkeys would stop at SQLite's limit of
    // trigger recursion in a deep tree.
    std::vector<int64_t> below;
    {
        Statement::Use q(Prepare(kSubtree, R"(
WITH RECURSIVE below(id, depth) AS (
  SELECT id, 1 FROM keys WHERE parent=?1
  UNION ALL SELECT k.id, b.depth + 1 FROM keys k JOIN below b ON k.parent=b.id)
SELECT id FROM below ORDER BY depth DESC)"));
        q.Bind(1, id);
        while (q.Step())
            below.push_back(sqlite3_column_int64(*q, 0));
    }
    below.push_back(id);
    bool deleted = false;
    for (const int64_t k : below) {
        Statement::Use q(Prepare(kDeleteKey, "DELETE FROM keys WHERE id=? AND parent IS NOT NULL"));
        q.Bind(1, k);
        q.Step();
        deleted = sqlite3_changes(db_) > 0;
    }
    return deleted;
}

std::vector<std::string> RegistryDb::ChildNames(int64_t id) {
    Statement::Use q(Prepare(kChildNames, "SELECT name FROM keys WHERE parent=? ORDER BY id"));
    q.Bind(1, id);
    std::vector<std::string> names;
    while (q.Step())
        names.push_back(ColumnText(*q, 0));
    return names;
}

std::optional<RegistryDb::Value> RegistryDb::FindValue(int64_t key, std::string_view name) {
    Statement::Use q(Prepare(kFindValue, "SELECT name, type, data FROM vals WHERE key=? AND fold=?"));
    q.Bind(1, key).Bind(2, FoldName(name));
    if (!q.Step())
        return std::nullopt;
    Value v;
    v.name = ColumnText(*q, 0);
    switch (sqlite3_column_int(*q, 1)) {
    case static_cast<int>(RegType::Sz):
        v.type = RegType::Sz;
        break;
    case static_cast<int>(RegType::Dword):
        v.type = RegType::Dword;
        break;
    default:
        v.type = RegType::Binary;
        break;
    }
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(*q, 2));
    v.data.assign(p, p + sqlite3_column_bytes(*q, 2));
    return v;
}

std::optional<std::pair<RegType, int64_t>> RegistryDb::FindValueSize(int64_t key, std::string_view name) {
    // length() of a blob reads its header only: a huge value is not loaded.
    Statement::Use q(Prepare(kValueSize, "SELECT type, length(data) FROM vals WHERE key=? AND fold=?"));
    q.Bind(1, key).Bind(2, FoldName(name));
    if (!q.Step())
        return std::nullopt;
    const int type = sqlite3_column_int(*q, 0);
    const RegType t = type == static_cast<int>(RegType::Sz)      ? RegType::Sz
                      : type == static_cast<int>(RegType::Dword) ? RegType::Dword
                                                                 : RegType::Binary;
    return std::make_pair(t, static_cast<int64_t>(sqlite3_column_int64(*q, 1)));
}

void RegistryDb::PutValue(int64_t key, std::string_view name, RegType type, const std::vector<uint8_t>& data) {
    Statement::Use q(Prepare(kPutValue, R"(
INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)
ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data)"));
    q.Bind(1, key).Bind(2, name).Bind(3, FoldName(name)).Bind(4, static_cast<int64_t>(type)).BindBlob(5, data);
    q.Step();
}

bool RegistryDb::DeleteValue(int64_t key, std::string_view name) {
    Statement::Use q(Prepare(kDeleteValue, "DELETE FROM vals WHERE key=? AND fold=?"));
    q.Bind(1, key).Bind(2, FoldName(name));
    q.Step();
    return sqlite3_changes(db_) > 0;
}

std::vector<std::string> RegistryDb::ValueNames(int64_t key) {
    Statement::Use q(Prepare(kValueNames, "SELECT name FROM vals WHERE key=? ORDER BY id"));
    q.Bind(1, key);
    std::vector<std::string> names;
    while (q.Step())
        names.push_back(ColumnText(*q, 0));
    return names;
}

int64_t RegistryDb::DataVersion() {
    Statement::Use q(Prepare(kDataVersion, "PRAGMA data_version"));
    return q.Step() ? sqlite3_column_int64(*q, 0) : 0;
}

RegistryDb::Transaction::Transaction(RegistryDb& db) : db_(db) {
    // IMMEDIATE takes the write lock before the first read, so a writer that
    // waits does so in the busy handler instead of failing on a stale snapshot.
    db_.Exec(db_.depth_ == 0 ? "BEGIN IMMEDIATE" : "SAVEPOINT nested");
    ++db_.depth_;
}

RegistryDb::Transaction::~Transaction() {
    if (!open_)
        return;
    --db_.depth_;
    if (db_.depth_ == 0)
        sqlite3_exec(db_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    else
        sqlite3_exec(db_.db_, "ROLLBACK TO nested; RELEASE nested", nullptr, nullptr, nullptr);
}

void RegistryDb::Transaction::Commit() {
    db_.Exec(db_.depth_ == 1 ? "COMMIT" : "RELEASE nested");
    open_ = false;
    --db_.depth_;
}

} // namespace sp
