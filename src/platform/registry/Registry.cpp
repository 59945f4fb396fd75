#include "platform/registry/Registry.h"

#include "platform/base/Cp1251.h"
#include "platform/base/MachineRoot.h"
#include "platform/registry/RegName.h"
#include "platform/registry/RegistryDb.h"

#include <algorithm>
#include <cstring>

namespace sp {

namespace {

// A key found by path, with the rights that apply to it.
struct Node {
    int64_t id = 0;
    std::string path; // full path, stored spelling
    RegAccess access = RegAccess::Full;
};

// Thrown inside to end an operation with a last error; turned into a result
// (false, empty) or an ERegistryException at the API boundary.
struct Refusal {
    RegError error;
};

std::string_view UpToZero(std::string_view s) {
    const size_t z = s.find('\0');
    return z == std::string_view::npos ? s : s.substr(0, z);
}

std::string QuoteName(std::string_view name) { return "'" + std::string(name) + "'"; }

} // namespace

struct TRegistry::Impl {
    std::filesystem::path file;
    RegOpenMode mode = RegOpenMode::Normal;
    std::unique_ptr<RegistryDb> db;
    RegHive hive = RegHive::LocalMachine;
    std::optional<Node> current;
    bool currentWritable = false;
    RegError lastError = RegError::None;

    RegistryDb& Db() {
        if (!db) {
            try {
                db = std::make_unique<RegistryDb>(file, mode == RegOpenMode::ReadOnlyExisting);
            } catch (const ERegistryException&) {
                lastError = RegError::Storage;
                throw;
            }
        }
        return *db;
    }

    Node Root() {
        const int64_t id = RegistryDb::RootId(hive);
        const auto key = Db().FindKey(id);
        return Node{id, HiveName(hive), key && key->mark ? *key->mark : RegAccess::Full};
    }

    // The node a path starts from.
    Node Base(bool absolute) {
        if (!absolute && current)
            return *current;
        return Root();
    }

    // Follows the path as far as it exists. remaining: the parts not found.
    struct Walk {
        Node node;
        std::vector<std::string_view> remaining;
    };
    Walk Resolve(std::string_view path) {
        const RegKeyPath kp = SplitKeyPath(path);
        Walk w{Base(kp.absolute), {}};
        for (size_t i = 0; i < kp.parts.size(); ++i) {
            if (kp.parts[i].size() > kMaxKeyNameLength)
                throw Refusal{RegError::InvalidArgument};
            auto child = Db().FindChild(w.node.id, kp.parts[i]);
            if (!child) {
                w.remaining.assign(kp.parts.begin() + static_cast<std::ptrdiff_t>(i), kp.parts.end());
                break;
            }
            w.node.id = child->id;
            w.node.path += '\\';
            w.node.path += child->name;
            if (child->mark)
                w.node.access = *child->mark;
        }
        return w;
    }

    Node Existing(std::string_view path) {
        Walk w = Resolve(path);
        if (!w.remaining.empty())
            throw Refusal{RegError::NotFound};
        return w.node;
    }

    // The key that value reads and enumerations work on.
    int64_t ReadKey() { return current ? current->id : Root().id; }

    int64_t WriteKey() {
        if (!current) {
            lastError = RegError::InvalidArgument;
            throw ERegistryException("no registry key is open");
        }
        if (!currentWritable) {
            lastError = RegError::AccessDenied;
            throw ERegistryException("access to registry key " + current->path + " is denied");
        }
        return current->id;
    }

    ERegistryException WrongType(std::string_view name) {
        lastError = RegError::WrongType;
        return ERegistryException("Invalid data type for " + QuoteName(name));
    }

    std::optional<RegistryDb::Value> Value(std::string_view name) { return Db().FindValue(ReadKey(), name); }

    void Put(std::string_view name, RegType type, std::vector<uint8_t> data) {
        lastError = RegError::None;
        if (Utf8ToCp1251(name).size() > kMaxValueNameLength || !ValueNameWritable(name)) {
            lastError = RegError::InvalidArgument;
            throw ERegistryException("Failed to set data for " + QuoteName(name) + ": invalid value name");
        }
        try {
            const int64_t key = WriteKey();
            RegistryDb::Transaction tx(Db());
            Db().PutValue(key, name, type, data);
            tx.Commit();
            lastError = RegError::None;
        } catch (const ERegistryException& e) {
            if (lastError == RegError::None)
                lastError = RegError::Storage;
            throw ERegistryException("Failed to set data for " + QuoteName(name) + ": " + e.what());
        }
    }

    // Runs a boolean operation: a refusal or a storage failure gives false
    // and sets the last error.
    template <class F>
    bool Try(F&& f) {
        try {
            lastError = RegError::None;
            return f();
        } catch (const Refusal& r) {
            lastError = r.error;
        } catch (const ERegistryException&) {
            lastError = RegError::Storage;
        }
        return false;
    }

    // For reads that throw: storage failures keep their ERegistryException.
    template <class F>
    auto Read(F&& f) {
        try {
            lastError = RegError::None;
            return f();
        } catch (const ERegistryException&) {
            if (lastError == RegError::None)
                lastError = RegError::Storage;
            throw;
        }
    }
};

TRegistry::TRegistry() : TRegistry(MachineRoot() / "registry.db") {}

TRegistry::TRegistry(const std::filesystem::path& database, RegOpenMode mode) : d(std::make_unique<Impl>()) {
    d->file = database;
    d->mode = mode;
}

TRegistry::~TRegistry() = default;

void TRegistry::SetRootKey(RegHive hive) {
    if (hive != d->hive)
        CloseKey();
    d->hive = hive;
}

RegHive TRegistry::RootKey() const { return d->hive; }

std::string TRegistry::HiveName(RegHive hive) {
    return hive == RegHive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_DYN_DATA";
}

bool TRegistry::OpenKey(std::string_view key, bool canCreate) {
    return d->Try([&] {
        Impl::Walk w = d->Resolve(key);
        if (!w.remaining.empty() && !canCreate)
            throw Refusal{RegError::NotFound};
        if (w.node.access != RegAccess::Full)
            throw Refusal{RegError::AccessDenied};
        if (!w.remaining.empty()) {
            for (std::string_view part : w.remaining)
                if (part.size() > kMaxKeyNameLength || !KeyNameWritable(part))
                    throw Refusal{RegError::InvalidArgument};
            const size_t depth = static_cast<size_t>(std::count(w.node.path.begin(), w.node.path.end(), '\\'));
            if (depth + w.remaining.size() > kMaxKeyDepth)
                throw Refusal{RegError::InvalidArgument};
            RegistryDb::Transaction tx(d->Db());
            // Another process may have created some of the parts since the
            // walk; inside the transaction the answer is final.
            for (std::string_view part : w.remaining) {
                if (auto child = d->Db().FindChild(w.node.id, part)) {
                    w.node.id = child->id;
                    w.node.path += '\\';
                    w.node.path += child->name;
                    if (child->mark)
                        w.node.access = *child->mark;
                    if (w.node.access != RegAccess::Full)
                        throw Refusal{RegError::AccessDenied};
                } else {
                    w.node.id = d->Db().InsertChild(w.node.id, part);
                    w.node.path += '\\';
                    w.node.path += part;
                }
            }
            tx.Commit();
        }
        d->current = w.node;
        d->currentWritable = true;
        return true;
    });
}

bool TRegistry::OpenKeyReadOnly(std::string_view key) {
    return d->Try([&] {
        Node n = d->Existing(key);
        if (n.access == RegAccess::None)
            throw Refusal{RegError::AccessDenied};
        d->current = n;
        d->currentWritable = false;
        return true;
    });
}

void TRegistry::CloseKey() {
    d->current.reset();
    d->currentWritable = false;
}

bool TRegistry::HasCurrentKey() const { return d->current.has_value(); }

std::string TRegistry::CurrentPath() const { return d->current ? d->current->path : std::string(); }

bool TRegistry::KeyExists(std::string_view key) {
    return d->Try([&] {
        d->Existing(key);
        return true;
    });
}

bool TRegistry::ValueExists(std::string_view name) {
    return d->Try([&] {
        if (!d->Value(name))
            throw Refusal{RegError::NotFound};
        return true;
    });
}

std::optional<RegType> TRegistry::GetDataType(std::string_view name) {
    std::optional<RegType> type;
    d->Try([&] {
        if (auto v = d->Value(name))
            type = v->type;
        else
            throw Refusal{RegError::NotFound};
        return true;
    });
    return type;
}

int TRegistry::GetDataSize(std::string_view name) {
    int size = -1;
    d->Try([&] {
        auto v = d->Db().FindValueSize(d->ReadKey(), name);
        if (!v)
            throw Refusal{RegError::NotFound};
        size = static_cast<int>(std::min<int64_t>(v->second + (v->first == RegType::Sz ? 1 : 0), INT32_MAX));
        return true;
    });
    return size;
}

std::string TRegistry::ReadString(std::string_view name) {
    return d->Read([&] {
        auto v = d->Value(name);
        if (!v) {
            d->lastError = RegError::NotFound;
            return std::string();
        }
        if (v->type != RegType::Sz)
            throw d->WrongType(name);
        const std::string_view raw(reinterpret_cast<const char*>(v->data.data()), v->data.size());
        return Cp1251ToUtf8(UpToZero(raw));
    });
}

std::vector<uint8_t> TRegistry::ReadBinary(std::string_view name) {
    return d->Read([&] {
        auto v = d->Value(name);
        if (!v) {
            d->lastError = RegError::NotFound;
            return std::vector<uint8_t>();
        }
        return std::move(v->data);
    });
}

int TRegistry::ReadBinaryData(std::string_view name, void* buffer, int bufSize) {
    return d->Read([&] {
        auto v = d->Value(name);
        if (!v) {
            d->lastError = RegError::NotFound;
            throw ERegistryException("Failed to get data for " + QuoteName(name));
        }
        if (v->type != RegType::Binary || bufSize < 0 || v->data.size() > static_cast<size_t>(bufSize))
            throw d->WrongType(name);
        if (!v->data.empty())
            std::memcpy(buffer, v->data.data(), v->data.size());
        return static_cast<int>(v->data.size());
    });
}

uint32_t TRegistry::ReadInteger(std::string_view name) {
    return d->Read([&] {
        auto v = d->Value(name);
        if (!v) {
            d->lastError = RegError::NotFound;
            throw ERegistryException("Failed to get data for " + QuoteName(name));
        }
        if (v->type != RegType::Dword || v->data.size() != 4)
            throw d->WrongType(name);
        return static_cast<uint32_t>(v->data[0]) | static_cast<uint32_t>(v->data[1]) << 8 |
               static_cast<uint32_t>(v->data[2]) << 16 | static_cast<uint32_t>(v->data[3]) << 24;
    });
}

void TRegistry::WriteString(std::string_view name, std::string_view value) {
    const std::string bytes = Utf8ToCp1251(UpToZero(value));
    d->Put(name, RegType::Sz, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

void TRegistry::WriteBinaryData(std::string_view name, const void* data, int size) {
    if (size < 0 || (size > 0 && data == nullptr)) {
        d->lastError = RegError::InvalidArgument;
        throw ERegistryException("Failed to set data for " + QuoteName(name) + ": invalid buffer");
    }
    const auto* p = static_cast<const uint8_t*>(data);
    d->Put(name, RegType::Binary, size > 0 ? std::vector<uint8_t>(p, p + size) : std::vector<uint8_t>());
}

void TRegistry::WriteInteger(std::string_view name, uint32_t value) {
    d->Put(name, RegType::Dword,
           {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)});
}

bool TRegistry::DeleteValue(std::string_view name) {
    return d->Try([&] {
        if (!d->current || !d->currentWritable)
            throw Refusal{RegError::AccessDenied};
        RegistryDb::Transaction tx(d->Db());
        const bool gone = d->Db().DeleteValue(d->current->id, name);
        tx.Commit();
        if (!gone)
            throw Refusal{RegError::NotFound};
        return true;
    });
}

bool TRegistry::DeleteKey(std::string_view key) {
    return d->Try([&] {
        RegistryDb::Transaction tx(d->Db());
        const Node n = d->Existing(key);
        if (n.id == RegistryDb::RootId(d->hive) || n.access != RegAccess::Full ||
            d->Db().HasRestrictedDescendant(n.id))
            throw Refusal{RegError::AccessDenied};
        d->Db().DeleteKey(n.id);
        tx.Commit();
        return true;
    });
}

std::vector<std::string> TRegistry::GetKeyNames() {
    std::vector<std::string> names;
    d->Try([&] {
        names = d->Db().ChildNames(d->ReadKey());
        return true;
    });
    return names;
}

std::vector<std::string> TRegistry::GetValueNames() {
    std::vector<std::string> names;
    d->Try([&] {
        names = d->Db().ValueNames(d->ReadKey());
        return true;
    });
    return names;
}

void TRegistry::SetAccess(std::string_view key, RegAccess access) {
    d->Read([&] {
        RegistryDb::Transaction tx(d->Db());
        const RegKeyPath kp = SplitKeyPath(key);
        int64_t id = d->Base(kp.absolute).id;
        for (std::string_view part : kp.parts) {
            if (part.size() > kMaxKeyNameLength) {
                d->lastError = RegError::InvalidArgument;
                throw ERegistryException("Invalid registry key name");
            }
            auto child = d->Db().FindChild(id, part);
            id = child ? child->id : d->Db().InsertChild(id, part);
        }
        d->Db().SetMark(id, access);
        tx.Commit();
        return 0;
    });
}

bool TRegistry::ClearAccess(std::string_view key) {
    return d->Try([&] {
        RegistryDb::Transaction tx(d->Db());
        d->Db().SetMark(d->Existing(key).id, std::nullopt);
        tx.Commit();
        return true;
    });
}

void TRegistry::Atomically(const std::function<void()>& writes) {
    // A key opened inside may vanish with the rollback; the one open before
    // stays valid.
    const std::optional<Node> before = d->current;
    const bool beforeWritable = d->currentWritable;
    try {
        RegistryDb::Transaction tx(d->Db());
        writes();
        tx.Commit();
    } catch (...) {
        d->current = before;
        d->currentWritable = beforeWritable;
        throw;
    }
}

int64_t TRegistry::ChangeStamp() { return d->Db().DataVersion(); }

RegError TRegistry::LastError() const { return d->lastError; }

} // namespace sp
