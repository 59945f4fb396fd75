#include "connection/PhonebookEntries.h"

#include "connection/ConnectionQuestion.h"
#include "connection/ConnectionState.h"
#include "log/EventLog.h"
#include "platform/base/Cp1251.h"
#include "platform/base/IniFile.h"
#include "ras/Modems.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"

#include <cstring>
#include <exception>
#include <stdexcept>

namespace sp {
namespace {

// What tells the families apart in this module. Entry properties go through
// `Props`, everything else through `Ras`; `Conn` enumerates active
// connections and hangs up.
struct Family2k {
    using Ras = Ras2k;
    using Props = Ras2k;
    static constexpr DWORD EntryFallback = 2088;
    static constexpr const char* CreateSizeSource = "GetEntrySize";
    static constexpr DWORD Options = 0x388C0110;
    static constexpr bool WritesDialMode = true;
};
struct FamilyXP : Family2k {
    using Props = RasXP;
    static constexpr DWORD EntryFallback = 2884;
};
struct FamilyME {
    using Ras = RasME;
    using Props = RasME;
    static constexpr DWORD EntryFallback = 1768;
    static constexpr const char* CreateSizeSource = "CreateConn-GetEntrySize";
    static constexpr DWORD Options = RASEO_RemoteDefaultGateway | RASEO_ModemLights;
    static constexpr bool WritesDialMode = false;
};
struct Family98 {
    using Ras = Ras98;
    using Props = Ras98;
    static constexpr DWORD EntryFallback = 1768;
    static constexpr const char* CreateSizeSource = "GetEntrySize";
    static constexpr DWORD Options = RASEO_RemoteDefaultGateway | RASEO_ModemLights;
    static constexpr bool WritesDialMode = false;
};

static_assert(Family2k::Options == (RASEO_RemoteDefaultGateway | RASEO_ModemLights | RASEO_RequirePAP |
                                    RASEO_RequireSPAP | RASEO_SharedPhoneNumbers | RASEO_RequireCHAP |
                                    RASEO_RequireMsCHAP | RASEO_RequireMsCHAP2));

// The family of the emulated Windows version, as a tag type handed to `fn`.
template <class Fn>
decltype(auto) Dispatch(Fn&& fn) {
    switch (WinVersion) {
    case 410: return fn(Family98{});
    case 490: return fn(FamilyME{});
    case 501: return fn(FamilyXP{});
    default: return fn(Family2k{});
    }
}

std::string FieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

template <size_t N>
void SetField(char (&field)[N], std::string_view text8bit) {
    std::memset(field, 0, N);
    std::memcpy(field, text8bit.data(), std::min(text8bit.size(), N - 1));
}

template <size_t N>
bool FieldEquals(const char (&field)[N], std::string_view text8bit) {
    return FieldText(field, N) == text8bit;
}

template <class P>
DWORD EntrySizeQuery(DWORD& size) {
    size = 0;
    return P::RasGetEntryPropertiesA(nullptr, "", nullptr, &size, nullptr, nullptr);
}

void LogException(const char* source, const std::exception& e) { WriteLog(source, 888, e.what()); }

template <class F>
bool RepairPropT(TRasEntryRecord& r, std::string_view entryName, std::string_view modem, bool forcePhone) {
    try {
        RASENTRY_1768& e = r.Base();
        e.dwfOptions = F::Options;
        if (forcePhone || !IsKnownPhoneNumber(FieldText(e.szLocalPhoneNumber, sizeof e.szLocalPhoneNumber)))
            SetField(e.szLocalPhoneNumber, PhoneNumbers[0]);
        e.dwFramingProtocol = RASFP_Ppp;
        e.dwfNetProtocols = RASNP_Ip;
        SetField(e.szDeviceType, RASDT_Modem);
        SetField(e.szDeviceName, Utf8ToCp1251(modem));
        if constexpr (F::WritesDialMode) {
            RASENTRY_2088& x = r.Ext();
            x.dwDialMode = RASEDM_DialAll;
            x.dwType = RASET_Phone;
            x.dwEncryptionType = ET_Optional;
        }
        const std::string name = Utf8ToCp1251(entryName);
        using Entry = typename F::Props::RASENTRY;
        const DWORD code =
            F::Props::RasSetEntryPropertiesA(nullptr, name.c_str(), r.As<Entry>(), r.Size(), nullptr, 0);
        LogRasError("Repair-SetEntryProperties", static_cast<int32_t>(code));
        return code == 0;
    } catch (const std::exception& ex) {
        LogException("RepairProp", ex);
        return false;
    }
}

template <class F>
void CreateConnectionT(std::string_view modem, TRasEntryPtr& record, std::string& entryName) {
    try {
        entryName.clear();
        DWORD size = 0;
        const DWORD code = EntrySizeQuery<typename F::Props>(size);
        if (code != ERROR_BUFFER_TOO_SMALL) {
            size = F::EntryFallback;
            LogRasError(F::CreateSizeSource, static_cast<int32_t>(code));
        }
        record = std::make_unique<TRasEntryRecord>(size);
        const std::string name = OperatorEntryName();
        if (RepairPropT<F>(*record, name, modem, true))
            entryName = name;
    } catch (const std::exception& ex) {
        LogException("CreateConnection", ex);
    }
}

template <class F>
bool FindAnotherConnT(std::string_view modem, std::string& entryName, TRasEntryPtr& record) {
    try {
        using R = typename F::Ras;
        using P = typename F::Props;
        using EntryName = typename R::RASENTRYNAME;
        std::vector<EntryName> names(1);
        std::memset(names.data(), 0, sizeof(EntryName));
        names[0].dwSize = sizeof(EntryName);
        DWORD cb = 0;
        DWORD count = 0;
        DWORD code = R::RasEnumEntriesA(nullptr, nullptr, names.data(), &cb, &count);
        if (code != ERROR_BUFFER_TOO_SMALL) {
            LogRasError("FindAnother-EnumEntries", static_cast<int32_t>(code));
            return false;
        }
        if (count == 0)
            return false;
        names.assign(count, EntryName{});
        names[0].dwSize = static_cast<DWORD>((cb + count / 2) / count);
        if (R::RasEnumEntriesA(nullptr, nullptr, names.data(), &cb, &count) != 0)
            return false;
        names.resize(std::min<size_t>(names.size(), count));

        const std::string modem8 = Utf8ToCp1251(modem);
        for (const EntryName& n : names) {
            DWORD size = 0;
            code = EntrySizeQuery<P>(size);
            if (code != ERROR_BUFFER_TOO_SMALL) {
                LogRasError("FindAnother-GetEntryProperties", static_cast<int32_t>(code));
                continue;
            }
            auto candidate = std::make_unique<TRasEntryRecord>(size);
            DWORD got = size;
            code = P::RasGetEntryPropertiesA(nullptr, n.szEntryName, candidate->As<typename P::RASENTRY>(), &got,
                                             nullptr, nullptr);
            LogRasError("FindAnother-GetProperties2", static_cast<int32_t>(code));
            if (code != 0)
                continue;
            if (!FieldEquals(candidate->Base().szDeviceName, modem8))
                continue;

            typename R::RASDIALPARAMS params{};
            params.dwSize = sizeof params;
            std::memcpy(params.szEntryName, n.szEntryName, sizeof params.szEntryName);
            params.szEntryName[sizeof params.szEntryName - 1] = '\0';
            BOOL hasPassword = 0;
            code = R::RasGetEntryDialParamsA(nullptr, &params, &hasPassword);
            LogRasError("FindAnother-GetEntryDialParams", static_cast<int32_t>(code));
            if (code != 0)
                continue;
            const std::string user = FieldText(params.szUserName, sizeof params.szUserName);
            if (user == DialUserName || user.empty()) {
                entryName = Cp1251ToUtf8(FieldText(n.szEntryName, sizeof n.szEntryName));
                record = std::move(candidate);
                return true;
            }
        }
        return false;
    } catch (const std::exception& ex) {
        LogException("FindAnotherConn", ex);
        return false;
    }
}

template <class F>
TRasEntryPtr CheckConnNameT(std::string_view modem, std::string& entryName) {
    try {
        using P = typename F::Props;
        DWORD size = 0;
        (void)EntrySizeQuery<P>(size);
        // A service that gives no size at all (not answering) gives no record
        // to dial with.
        if (size == 0)
            throw std::runtime_error("The remote access service gave no entry size");
        auto record = std::make_unique<TRasEntryRecord>(size);
        if (!entryName.empty()) {
            const std::string name = Utf8ToCp1251(entryName);
            DWORD got = size;
            const DWORD code = P::RasGetEntryPropertiesA(nullptr, name.c_str(), record->As<typename P::RASENTRY>(),
                                                         &got, nullptr, nullptr);
            const bool gone = code == ERROR_CANNOT_FIND_PHONEBOOK_ENTRY || code == ERROR_INVALID_PARAMETER;
            const bool otherDevice = code == 0 && !FieldEquals(record->Base().szDeviceName, Utf8ToCp1251(modem));
            if (!gone && !otherDevice) {
                LogRasError("CheckConnName-GetEntryProperties", static_cast<int32_t>(code));
                RepairPropT<F>(*record, entryName, modem, false);
                return record;
            }
        }
        std::string found;
        TRasEntryPtr other;
        if (FindAnotherConnT<F>(modem, found, other)) {
            entryName = found;
            RepairPropT<F>(*other, entryName, modem, false);
            return other;
        }
        CreateConnectionT<F>(modem, record, entryName);
        return record;
    } catch (const std::exception& ex) {
        LogException("CheckConnName", ex);
        return nullptr;
    }
}

template <class F>
HRASCONN CheckAlreadyConnectedT(std::string_view modem, std::string& entryName,
                                const std::vector<std::string>& apns, IConnectionQuestion* question) {
    try {
        using R = typename F::Ras;
        using Conn = typename R::RASCONN;
        std::vector<Conn> conns;
        DWORD count = 0;
        DWORD code = R::EnumConnections(conns, count);
        LogRasError("EnumConnections", static_cast<int32_t>(code));
        if (count == 0)
            return 0;
        // Only the first connection the service reports is looked at.
        const Conn& c = conns[0];
        if (!ConnIsOpen(c.hrasconn) || !FieldEquals(c.szDeviceName, Utf8ToCp1251(modem)))
            return 0;

        const std::string apn = ApnFromInitString(GetModemInitString(modem));
        if (!apn.empty())
            for (const std::string& a : apns)
                if (EqualsNoCase(Utf8ToCp1251(a), Utf8ToCp1251(apn)))
                    return c.hrasconn;

        if (AskYesNoError("Ошибка: Выбраный модем соединен через другой APN. Отсоединить?", question)) {
            code = R::HangUpAndWait(c.hrasconn);
            LogRasError("HangUp", static_cast<int32_t>(code));
            return 0;
        }
        entryName = Cp1251ToUtf8(FieldText(c.szEntryName, sizeof c.szEntryName));
        return c.hrasconn;
    } catch (const std::exception& ex) {
        LogException("CheckAlreadyConnected", ex);
        return 0;
    }
}

} // namespace

std::string OperatorEntryName() { return "Zentora"; }

bool IsKnownPhoneNumber(std::string_view number) {
    for (std::string_view n : PhoneNumbers)
        if (n == number)
            return true;
    return false;
}

std::string ApnFromInitString(std::string_view init) {
    // One-based characters 20 .. length-1, i.e. what lies between the third
    // pair of quotes of AT+CGDCONT=1,"IP","<apn>".
    if (init.size() < 20)
        return {};
    return std::string(init.substr(19, init.size() - 20));
}

TRasEntryPtr CheckConnName(std::string_view modem, std::string& entryName) {
    return Dispatch([&](auto f) { return CheckConnNameT<decltype(f)>(modem, entryName); });
}

bool FindAnotherConn(std::string_view modem, std::string& entryName, TRasEntryPtr& record) {
    return Dispatch([&](auto f) { return FindAnotherConnT<decltype(f)>(modem, entryName, record); });
}

void CreateConnection(std::string_view modem, TRasEntryPtr& record, std::string& entryName) {
    Dispatch([&](auto f) { CreateConnectionT<decltype(f)>(modem, record, entryName); });
}

bool RepairProp(TRasEntryRecord& record, std::string_view entryName, std::string_view modem, bool forcePhone) {
    return Dispatch([&](auto f) { return RepairPropT<decltype(f)>(record, entryName, modem, forcePhone); });
}

HRASCONN CheckAlreadyConnected(std::string_view modem, std::string& entryName,
                               const std::vector<std::string>& apns, IConnectionQuestion* question) {
    return Dispatch([&](auto f) { return CheckAlreadyConnectedT<decltype(f)>(modem, entryName, apns, question); });
}

} // namespace sp
