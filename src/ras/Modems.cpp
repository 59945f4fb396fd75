#include "ras/Modems.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <exception>

#include "log/EventLog.h"
#include "platform/base/Cp1251.h"
#include "platform/base/MachineRoot.h"
#include "platform/registry/Registry.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"

namespace sp {

namespace {

constexpr const char* kNtModemKey = "\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
constexpr const char* k9xModemKey = "\\Enum\\Root\\Modem";
constexpr const char* k9xModemGenKey = "\\Enum\\Root\\MDMGEN";
constexpr const char* k9xDriverRoot = "\\System\\CurrentControlSet\\Services\\Class\\";

std::string ModemKeyIn(TRegistry& reg, bool nt)
{
    if (nt)
        return kNtModemKey;
    return reg.KeyExists(k9xModemKey) ? k9xModemKey : k9xModemGenKey;
}

bool IsModemType(const char* type)
{
    std::string t(type);
    for (char& c : t)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return t == "MODEM";
}

bool ContainsIgnoringCase(const std::vector<std::string>& list, const std::string& name)
{
    const QString n = QString::fromStdString(name);
    for (const auto& s : list)
        if (QString::fromStdString(s).compare(n, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

template <class Binding>
DWORD EnumInto(std::vector<RASDEVINFOA>& devs, DWORD& cb, DWORD& count)
{
    return Binding::RasEnumDevicesA(devs.data(), &cb, &count);
}

} // namespace

EModemAccess::EModemAccess() : std::runtime_error("Ошибка: недостаточно прав для настройки соединения") {}

std::string ModemClassKey()
{
    TRegistry reg;
    reg.SetRootKey(RegHive::LocalMachine);
    return ModemKeyIn(reg, ReadMachineVersion().nt);
}

DWORD EnumDevices(std::vector<std::string>& list)
{
    try {
        list.clear();
        DWORD cb = 0;
        DWORD count = 0;
        DWORD r = Ras2k::RasEnumDevicesA(nullptr, &cb, &count);
        std::vector<RASDEVINFOA> devs;
        if (r == ERROR_BUFFER_TOO_SMALL) {
            // The buffer is never smaller than the byte count the service was
            // told, whatever count it reported.
            const size_t records = std::max<size_t>({size_t{count}, size_t{1},
                                                     (size_t{cb} + sizeof(RASDEVINFOA) - 1) / sizeof(RASDEVINFOA)});
            devs.assign(records, RASDEVINFOA{});
            devs[0].dwSize = count > 0 ? static_cast<DWORD>(std::lround(double(cb) / double(count)))
                                       : DWORD{sizeof(RASDEVINFOA)};
            switch (SelectRasVariant(WinVersion)) {
            case RasVariant::Ras98: r = EnumInto<Ras98>(devs, cb, count); break;
            case RasVariant::RasME: r = EnumInto<RasME>(devs, cb, count); break;
            default: r = EnumInto<Ras2k>(devs, cb, count); break;
            }
        } else {
            count = 0;
        }
        if (r != 0) {
            LogRasError("EnumDevices", static_cast<int32_t>(r));
            return r;
        }
        const size_t n = std::min<size_t>(count, devs.size());
        for (size_t i = 0; i < n; ++i) {
            auto& d = devs[i];
            d.szDeviceType[sizeof d.szDeviceType - 1] = '\0';
            d.szDeviceName[sizeof d.szDeviceName - 1] = '\0';
            if (!IsModemType(d.szDeviceType))
                continue;
            std::string name = Cp1251ToUtf8(d.szDeviceName);
            if (!ContainsIgnoringCase(list, name))
                list.push_back(std::move(name));
        }
        return 0;
    } catch (const std::exception& e) {
        list.clear();
        WriteLog("EnumDevices", 888, e.what());
    } catch (...) {
        list.clear();
        WriteLog("EnumDevices", 888, "Unknown exception");
    }
    return ERROR_UNKNOWN;
}

std::string GetModemInitString(std::string_view modem)
{
    std::string result;
    const bool nt = ReadMachineVersion().nt;
    TRegistry reg;
    reg.SetRootKey(RegHive::LocalMachine);
    const std::string key = ModemKeyIn(reg, nt);
    if (!reg.KeyExists(key))
        return result;
    if (!reg.OpenKeyReadOnly(key))
        throw EModemAccess();
    TRegistry modemReg;
    modemReg.SetRootKey(RegHive::LocalMachine);
    for (const auto& sub : reg.GetKeyNames()) {
        if (!modemReg.OpenKeyReadOnly(key + "\\" + sub))
            continue;
        if (!modemReg.ValueExists("FriendlyName") || modemReg.ReadString("FriendlyName") != modem)
            continue;
        if (!nt) {
            const std::string driver = modemReg.ReadString("Driver");
            if (!modemReg.OpenKeyReadOnly(k9xDriverRoot + driver))
                break; // the driver key is where the string lives; none here
        }
        result = modemReg.ReadString("UserInit");
        break;
    }
    return result;
}

bool SetModemInitString(std::string_view modem, std::string_view text)
{
    bool result = false;
    const bool nt = ReadMachineVersion().nt;
    TRegistry reg;
    reg.SetRootKey(RegHive::LocalMachine);
    const std::string key = ModemKeyIn(reg, nt);
    if (!reg.KeyExists(key))
        return result;
    if (!reg.OpenKey(key, true))
        throw EModemAccess();
    TRegistry modemReg;
    modemReg.SetRootKey(RegHive::LocalMachine);
    for (const auto& sub : reg.GetKeyNames()) {
        if (!modemReg.OpenKey(key + "\\" + sub, false))
            continue;
        if (!modemReg.ValueExists("FriendlyName") || modemReg.ReadString("FriendlyName") != modem)
            continue;
        if (!nt) {
            const std::string driver = modemReg.ReadString("Driver");
            if (!modemReg.OpenKey(k9xDriverRoot + driver, true))
                continue;
        }
        modemReg.WriteString("UserInit", text);
        result = true;
    }
    return result;
}

} // namespace sp
