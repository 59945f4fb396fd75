#include "platform/rasman/Devices.h"

#include "platform/registry/Registry.h"

#include <algorithm>
#include <cctype>

namespace sp::ras {

namespace {

// The modem key of the family and, per modem subkey, the key that holds its
// driver values (the subkey itself on NT, the "Driver" key on 9x).
struct ModemKey {
    std::string friendlyName;
    std::string valuesKey;
};

std::vector<ModemKey> ListModems(TRegistry& reg, const MachineVersion& v)
{
    std::vector<ModemKey> out;
    reg.SetRootKey(RegHive::LocalMachine);
    std::string base = kNtModemClassKey;
    if (!v.nt)
        base = reg.KeyExists(k9xModemEnumKey) ? k9xModemEnumKey : k9xModemEnumKeyAlt;
    if (!reg.OpenKeyReadOnly(base))
        return out;
    const std::vector<std::string> subkeys = reg.GetKeyNames();
    for (const std::string& sub : subkeys) {
        try {
            const std::string key = base + "\\" + sub;
            if (!reg.OpenKeyReadOnly(key) || !reg.ValueExists("FriendlyName"))
                continue;
            ModemKey m{reg.ReadString("FriendlyName"), key};
            if (!v.nt)
                m.valuesKey = std::string(k9xDriverClassKey) + reg.ReadString("Driver");
            out.push_back(std::move(m));
        } catch (const std::exception&) {
            // a value of the wrong type: not a usable modem
        }
    }
    reg.CloseKey();
    return out;
}

} // namespace

std::vector<Device> EnumDevices(TRegistry& reg, const MachineVersion& v, const NetworkConfig& net)
{
    std::vector<Device> out;
    try {
        for (ModemKey& m : ListModems(reg, v))
            out.push_back(Device{"modem", std::move(m.friendlyName)});
    } catch (const std::exception&) {
        // the registry cannot be read: no modems
    }
    for (const ExtraDevice& d : net.extraDevices)
        out.push_back(Device{d.type, d.name});
    return out;
}

std::string ModemUserInit(TRegistry& reg, const MachineVersion& v, std::string_view friendlyName)
{
    try {
        for (const ModemKey& m : ListModems(reg, v)) {
            if (m.friendlyName != friendlyName)
                continue;
            if (!reg.OpenKeyReadOnly(m.valuesKey))
                return {};
            std::string init = reg.ValueExists("UserInit") ? reg.ReadString("UserInit") : std::string();
            reg.CloseKey();
            return init;
        }
    } catch (const std::exception&) {
    }
    return {};
}

std::string ApnFromUserInit(std::string_view init)
{
    std::string upper(init);
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    const auto at = upper.find("+CGDCONT=");
    if (at == std::string::npos)
        return {};
    std::string_view rest = init.substr(at + 9);
    // cid,"PDP type","APN",...
    for (int field = 0; field < 2; ++field) {
        bool quoted = false;
        size_t i = 0;
        for (; i < rest.size(); ++i) {
            if (rest[i] == '"')
                quoted = !quoted;
            else if (rest[i] == ',' && !quoted)
                break;
        }
        if (i == rest.size())
            return {};
        rest.remove_prefix(i + 1);
    }
    std::string apn;
    if (!rest.empty() && rest.front() == '"') {
        const auto close = rest.find('"', 1);
        apn = std::string(rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    } else {
        const auto end = rest.find_first_of(",; \r\n");
        apn = std::string(rest.substr(0, end));
    }
    return apn;
}

} // namespace sp::ras
