#include "connection/DialToolSettings.h"

#include "crypto/uEncrypt.h"
#include "platform/base/Cp1251.h"
#include "platform/base/IniFile.h"
#include "platform/registry/Registry.h"

#include <exception>
#include <optional>
#include <string_view>

namespace sp {
namespace {

constexpr std::string_view kSettingsKey = "\\Software\\Zentora\\Skyportal";


} // namespace

TDialToolSettings LoadDialToolSettings() {
    TDialToolSettings s;
    try {
        TRegistry reg;
        reg.SetRootKey(RegHive::LocalMachine);
        if (!reg.OpenKeyReadOnly(kSettingsKey))
            return s;
        s.found = true;
        TStoredTextReader reader;
        bool sawEnciphered = false;
        bool sawPlain = false;
        const auto read = [&](std::string_view name) -> std::optional<std::string> {
            try {
                if (!reg.ValueExists(name))
                    return std::nullopt;
                const std::string stored = reg.ReadString(name);
                if (auto text = reader.Read(stored)) {
                    sawEnciphered = true;
                    return Cp1251ToUtf8(*text);
                }
                sawPlain = true;
                return stored;
            } catch (const std::exception&) {
                return std::nullopt; // another type counts as absent, as in the program
            }
        };
        s.modem = read("Modem").value_or(std::string());
        s.connection = read("Connection").value_or(std::string());
        if (auto apns = read("APNs"))
            s.apns = SplitLines(*apns);
        if (auto version = read("APNVersion"))
            s.apnVersion = *version;
        s.plain = sawPlain && !sawEnciphered;
    } catch (const std::exception&) {
        // A registry that cannot be read is a machine without settings.
    }
    return s;
}

bool SaveDialToolSettings(const TDialToolSettings& s) {
    if (!s.found)
        return false;
    try {
        TRegistry reg;
        reg.SetRootKey(RegHive::LocalMachine);
        if (!reg.OpenKey(kSettingsKey, false))
            return false;
        const auto write = [&](std::string_view name, const std::string& text) {
            reg.WriteString(name, s.plain ? text : EncryptString(Utf8ToCp1251(text)));
        };
        write("Connection", s.connection);
        write("APNs", JoinLines(s.apns));
        write("APNVersion", s.apnVersion);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace sp
