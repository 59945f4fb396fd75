#include "report/RegistryReport.h"

#include "crypto/uEncrypt.h"
#include "platform/base/Cp1251.h"
#include "platform/rasman/Devices.h"
#include "platform/registry/RegFile.h"
#include "platform/registry/Registry.h"

#include <algorithm>

namespace sp {

namespace {

// Bounds for a registry someone else filled.
constexpr int kMaxDepth = 32;
constexpr size_t kMaxKeys = 5000;
// A value larger than any the program writes is named, not copied: the report
// must not take hundreds of megabytes for one planted value.
constexpr int kMaxValueBytes = 64 * 1024;
constexpr size_t kMaxTotalBytes = 4 * 1024 * 1024;

class Exporter {
public:
    Exporter(TRegistry& reg, RegistryReport& report) : reg_(reg), report_(report) {}

    // False when the key is not there.
    bool Key(const std::string& path, bool decipher, int depth = 0) {
        if (content_.keys.size() >= kMaxKeys || depth > kMaxDepth) {
            report_.notes.push_back(path + ": left out (more than " + std::to_string(kMaxKeys) + " keys or " +
                                    std::to_string(kMaxDepth) + " levels)");
            return true;
        }
        if (!reg_.OpenKeyReadOnly(path)) {
            switch (reg_.LastError()) {
            case RegError::NotFound:
                return false;
            case RegError::AccessDenied:
                report_.notes.push_back(path + ": cannot be read (no rights)");
                return true;
            default:
                throw ERegistryException(path + ": the registry cannot be read");
            }
        }
        RegFileKey key;
        key.path = reg_.CurrentPath();
        for (const std::string& name : reg_.GetValueNames()) {
            const int size = reg_.GetDataSize(name);
            if (size > kMaxValueBytes || total_ + static_cast<size_t>(std::max(size, 0)) > kMaxTotalBytes) {
                report_.notes.push_back(key.path + "\\" + name + ": left out (" + std::to_string(size) +
                                        " bytes; a value above " + std::to_string(kMaxValueBytes / 1024) +
                                        " KiB, or the report's " + std::to_string(kMaxTotalBytes >> 20) +
                                        " MiB of values, is not copied)");
                continue;
            }
            total_ += static_cast<size_t>(std::max(size, 0));
            RegFileValue v;
            v.name = name;
            v.type = reg_.GetDataType(name).value_or(RegType::Binary);
            v.data = reg_.ReadBinary(name);
            if (decipher && v.type == RegType::Sz)
                Decipher(key.path, v);
            key.values.push_back(std::move(v));
        }
        const std::vector<std::string> subkeys = reg_.GetKeyNames();
        content_.keys.push_back(std::move(key));
        for (const std::string& sub : subkeys)
            Key(path + "\\" + sub, false, depth + 1);
        return true;
    }

    [[nodiscard]] const RegFileContent& Content() const { return content_; }

private:
    void Decipher(const std::string& keyPath, RegFileValue& v) {
        const std::string stored(v.data.begin(), v.data.end());
        RegistryReport::Setting s{v.name, {}, false};
        if (auto plain = reader_.Read(stored)) {
            v.data.assign(plain->begin(), plain->end());
            s.deciphered = true;
        } else {
            report_.notes.push_back(keyPath + "\\" + v.name +
                                    ": not enciphered, kept as stored (written with /r, or damaged)");
        }
        s.value = Cp1251ToUtf8(std::string(v.data.begin(), v.data.end()));
        report_.settings.push_back(std::move(s));
    }

    TRegistry& reg_;
    RegistryReport& report_;
    RegFileContent content_;
    TStoredTextReader reader_;
    size_t total_ = 0;
};

std::string Text(TRegistry& reg, const char* name) {
    try {
        if (reg.GetDataSize(name) > kMaxValueBytes)
            return "(left out, too long)";
        return reg.ValueExists(name) ? reg.ReadString(name) : std::string();
    } catch (const std::exception&) {
        return "(not a text value)";
    }
}

void ListModems(TRegistry& reg, bool nt, RegistryReport& report) {
    std::string base = ras::kNtModemClassKey;
    if (!nt)
        base = reg.KeyExists(ras::k9xModemEnumKey) ? ras::k9xModemEnumKey : ras::k9xModemEnumKeyAlt;
    if (!reg.OpenKeyReadOnly(base))
        return;
    for (const std::string& sub : reg.GetKeyNames()) {
        if (!reg.OpenKeyReadOnly(base + "\\" + sub) || !reg.ValueExists("FriendlyName"))
            continue;
        RegistryReport::Modem m;
        m.name = Text(reg, "FriendlyName");
        if (!nt) {
            const std::string driver = Text(reg, "Driver");
            if (!reg.OpenKeyReadOnly(std::string(ras::k9xDriverClassKey) + driver)) {
                report.modems.push_back(std::move(m));
                continue;
            }
        }
        m.attachedTo = Text(reg, "AttachedTo");
        m.userInit = Text(reg, "UserInit");
        report.modems.push_back(std::move(m));
    }
    reg.CloseKey();
}

} // namespace

RegistryReport ReadRegistryReport(const std::filesystem::path& database, bool ntFamily) {
    RegistryReport report;
    std::error_code ec;
    if (!std::filesystem::exists(database, ec)) {
        report.error = database.string() + " is missing";
        return report;
    }
    try {
        TRegistry reg(database, RegOpenMode::ReadOnlyExisting);
        reg.SetRootKey(RegHive::LocalMachine);
        Exporter exporter(reg, report);
        if (!exporter.Key(kProgramKey, true))
            report.notes.push_back(std::string("HKEY_LOCAL_MACHINE") + kProgramKey +
                                   ": not present (no settings saved yet)");
        bool anyModemKey = false;
        for (const char* key : {ras::kNtModemClassKey, ras::k9xModemEnumKey, ras::k9xModemEnumKeyAlt})
            anyModemKey = exporter.Key(key, false) || anyModemKey;
        (void)exporter.Key(std::string(ras::k9xDriverClassKey) + "Modem", false);
        if (!anyModemKey)
            report.notes.push_back("no modem key is present");
        ListModems(reg, ntFamily, report);
        report.regFile = Cp1251ToUtf8(FormatRegFile(exporter.Content()));
        const size_t header = report.regFile.find('\n');
        report.regFile.insert(
            header == std::string::npos ? report.regFile.size() : header + 1,
            "; the program's key with its values deciphered, and the modem keys; UTF-8\r\n");
        report.readable = true;
    } catch (const std::exception& e) {
        report.error = e.what();
        report.regFile.clear();
    }
    return report;
}

} // namespace sp
