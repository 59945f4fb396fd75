#include "app/fGprsMain.h"

#include "crypto/uEncrypt.h"
#include "platform/base/CommandLine.h"
#include "platform/base/Cp1251.h"
#include "platform/base/IniFile.h"

#include <charconv>
#include <exception>
#include <optional>

namespace sp {
namespace {

constexpr std::string_view kSettingsKey = "\\Software\\Zentora\\Skyportal";

// Argument 2 "/r" keeps the values in plain text.
bool PlainValues() {
    return ParamStr(2) == "/r";
}


// A decimal integer, 0 when the text is not one.
int32_t ToIntDef0(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return 0;
    return value;
}

} // namespace

std::string TfrmGprsMain::ReadValue(std::string_view name) {
    if (!FSettingsKey)
        return {};
    std::string stored = FSettingsKey->ReadString(name);
    if (PlainValues())
        return stored;
    return Cp1251ToUtf8(DecryptString(stored));
}

void TfrmGprsMain::WriteValue(std::string_view name, std::string_view text) {
    if (!FSettingsKey)
        return;
    if (PlainValues())
        FSettingsKey->WriteString(name, text);
    else
        FSettingsKey->WriteString(name, EncryptString(Utf8ToCp1251(text)));
}

bool TfrmGprsMain::LoadSettings() {
    FAPNs = {"internet"};
    FAPNVersion = std::string(1, '0'); // not = "0": GCC 12 warns wrongly (-Wrestrict)
    FStage = 3;

    try {
        FSettingsKey = std::make_unique<TRegistry>();
        FSettingsKey->SetRootKey(RegHive::LocalMachine);
        if (!FSettingsKey->OpenKeyReadOnly(kSettingsKey)) {
            FSettingsKey.reset();
            return false;
        }
    } catch (const std::exception&) {
        // A registry that cannot be read at all is a missing key.
        FSettingsKey.reset();
        return false;
    }

    // A value that cannot be read as text (another type) counts as absent.
    const auto read = [this](std::string_view name) -> std::optional<std::string> {
        try {
            if (FSettingsKey->ValueExists(name))
                return ReadValue(name);
        } catch (const std::exception&) {
        }
        return std::nullopt;
    };

    FModem = read("Modem").value_or(std::string());
    FConnection = read("Connection").value_or(std::string());
    if (auto apns = read("APNs"))
        FAPNs = SplitLines(*apns);
    if (auto version = read("APNVersion"))
        FAPNVersion = *version;
    if (auto stage = read("StartStage"))
        FStage = static_cast<uint8_t>(ToIntDef0(*stage) & 0xFF);

    FSettingsKey.reset();
    return true;
}

void TfrmGprsMain::SaveSettings() {
    try {
        FSettingsKey = std::make_unique<TRegistry>();
        FSettingsKey->SetRootKey(RegHive::LocalMachine);
        if (FSettingsKey->OpenKey(kSettingsKey, true)) {
            WriteValue("Modem", FModem);
            WriteValue("Connection", FConnection);
            WriteValue("APNs", JoinLines(FAPNs));
            WriteValue("APNVersion", FAPNVersion);
            WriteValue("StartStage", std::to_string(FStage));
        }
    } catch (const std::exception&) {
        // Without rights to the key the settings of this run are lost, silently.
    }
    FSettingsKey.reset();
}

} // namespace sp
