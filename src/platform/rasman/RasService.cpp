#include "platform/rasman/RasService.h"

#include "platform/base/Cp1251.h"
#include "platform/base/IniFile.h"
#include "platform/rasapi/RasErrorText.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/Devices.h"
#include "platform/rasman/EntryFields.h"
#include "platform/rasman/RecordSizes.h"
#include "platform/rasman/ServiceLog.h"
#include "platform/rasman/TrafficHistory.h"
#include "platform/registry/Registry.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace sp::ras {

namespace {

using namespace std::chrono_literals;

constexpr const char* kAdapterKey = "\\PerfStats\\StatData";
constexpr const char* kAdapterRx = "Dial-Up Adapter\\TotalBytesRecvd";
constexpr const char* kAdapterTx = "Dial-Up Adapter\\TotalBytesXmit";

std::string Reply(uint32_t code) { return Writer().U32(code).Data(); }

std::filesystem::file_time_type MTime(const std::filesystem::path& p)
{
    std::error_code ec;
    const auto t = std::filesystem::last_write_time(p, ec);
    return ec ? std::filesystem::file_time_type{} : t;
}

template <typename T>
std::string Bytes(const T& record, uint32_t size)
{
    return std::string(reinterpret_cast<const char*>(&record), std::min<size_t>(size, sizeof(T)));
}

bool SameText(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

std::string LowerAscii(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A reading is asked for at most this long, a USSD answer a little longer
// than the modem's own bound; an answer is kept this long for its asker.
constexpr auto kReadingBound = 15s;
constexpr auto kUssdBound = kUssdTimeout + 5s;
constexpr auto kAnswerKept = 60s;

} // namespace

struct RasService::Connection {
    HRASCONN handle = 0;
    std::string entry;      // as the phonebook spells it
    std::string deviceType; // record text (code page 1251)
    std::string deviceName;
    std::string phone;
    std::string apn; // UTF-8, as the modem was asked for it
    RASGUID guid{};
    uint32_t state = RASCS_OpenPort;
    uint32_t error = 0;
    bool dialling = true;
    bool connected = false;
    bool dropped = false;
    int channel = -1;
    uint32_t startError = 0; // device missing or busy
    Clock::time_point connectedAt{};
    Clock::time_point droppedAt{};
    LinkCounters counted;    // the link's counters when last asked
    std::unique_ptr<Link> link;
};

// What a connection's link reports, applied to the connection.
class RasService::Events : public LinkEvents {
public:
    Events(RasService& s, Connection& c, Clock::time_point now) : s_(s), c_(c), now_(now) {}
    void Reached(uint32_t state) override
    {
        c_.state = state;
        if (c_.channel >= 0)
            s_.channels_.Report(c_.channel, state, 0);
    }
    void Failed(uint32_t state, uint32_t error) override
    {
        s_.Fail(c_, state, error);
    }
    void Up() override
    {
        c_.state = RASCS_Connected;
        c_.dialling = false;
        c_.connected = true;
        c_.connectedAt = now_;
        s_.history_->Begin(c_.handle, Cp1251ToUtf8(c_.entry), Cp1251ToUtf8(c_.deviceName), c_.apn);
        if (c_.channel >= 0) {
            s_.channels_.Report(c_.channel, RASCS_Connected, 0);
            s_.channels_.Close(c_.channel);
        }
        c_.channel = -1;
    }
    void Down(uint32_t error) override
    {
        if (!c_.connected || c_.dropped)
            return;
        s_.Count(c_, now_);
        s_.history_->End(c_.handle, "dropped:" + std::to_string(error));
        c_.dropped = true;
        c_.droppedAt = now_;
        c_.state = RASCS_Disconnected;
        c_.error = error;
    }
    void Read(const ModemReading& reading) override { s_.readings_[LowerAscii(Cp1251ToUtf8(c_.deviceName))] = reading; }

private:
    RasService& s_;
    Connection& c_;
    Clock::time_point now_;
};

RasService::RasService(DialChannels& channels) : channels_(channels), phonebook_(Phonebook::DefaultPath())
{
    // Handles of an earlier run must not name connections of this one.
    nextHandle_ = (static_cast<uint32_t>(std::time(nullptr)) * 2654435761u ^ static_cast<uint32_t>(::getpid()))
        & 0x3FFFFF00u;
    nextHandle_ |= 0x10000u;
    // The service is the phonebook's only writer, and it runs once per root.
    phonebook_.Tidy();
    Reload();
    history_ = std::make_unique<TrafficHistory>(TrafficHistory::DefaultPath(), net_.history);
    history_->SetCheckpointInterval(std::chrono::milliseconds(net_.historyCheckpointMs));
}

RasService::~RasService()
{
    // The links end with the service: their last counts go into the history.
    const auto now = Clock::now();
    for (auto& [h, c] : connections_)
        Count(*c, now);
    history_.reset();
}

void RasService::Reload()
{
    version_ = ReadMachineVersion();
    machineIniTime_ = MTime(MachineRoot() / "machine.ini");
    net_ = NetworkConfig::Load(NetworkConfig::Path());
    networkIniTime_ = MTime(NetworkConfig::Path());
    if (history_)
        history_->SetCheckpointInterval(std::chrono::milliseconds(net_.historyCheckpointMs));
    devicesStamp_.reset();
    phonebook_.Load();
    phonebookTime_ = MTime(Phonebook::DefaultPath());
    simulated_.Reset();
    serialRegistered_ = false;
    if (!version_.nt) {
        try {
            TRegistry& reg = Registry();
            reg.SetRootKey(RegHive::DynData);
            if (reg.OpenKeyReadOnly(kAdapterKey)) {
                auto read = [&](const char* name) {
                    uint64_t v = 0;
                    const std::vector<uint8_t> b = reg.ReadBinary(name);
                    for (size_t i = 0; i < b.size() && i < 4; ++i)
                        v |= uint64_t(b[i]) << (8 * i);
                    return v;
                };
                adapterRx_ = std::max(adapterRx_, read(kAdapterRx));
                adapterTx_ = std::max(adapterTx_, read(kAdapterTx));
                reg.CloseKey();
            }
        } catch (const std::exception&) {
        }
        adapterDirty_ = true;
    }
}

void RasService::Refresh()
{
    if (MTime(MachineRoot() / "machine.ini") != machineIniTime_) {
        version_ = ReadMachineVersion();
        machineIniTime_ = MTime(MachineRoot() / "machine.ini");
        devicesStamp_.reset();
    }
    if (MTime(NetworkConfig::Path()) != networkIniTime_) {
        net_ = NetworkConfig::Load(NetworkConfig::Path());
        networkIniTime_ = MTime(NetworkConfig::Path());
        history_->SetCheckpointInterval(std::chrono::milliseconds(net_.historyCheckpointMs));
        simulated_.Reset();
        serialRegistered_ = false;
        devicesStamp_.reset();
    }
    if (MTime(Phonebook::DefaultPath()) != phonebookTime_) {
        phonebook_.Load();
        phonebookTime_ = MTime(Phonebook::DefaultPath());
    }
}

TRegistry& RasService::Registry()
{
    if (!registry_)
        registry_ = std::make_unique<TRegistry>();
    return *registry_;
}

void RasService::RegisterSerialModems()
{
    if (serialRegistered_)
        return;
    serialRegistered_ = true;
    if (net_.serialModems.empty())
        return;
    try {
        for (const auto& [key, m] : net_.serialModems)
            RegisterModem(Registry(), version_, m.name, m.port);
    } catch (const std::exception&) {
        serialRegistered_ = false; // tried again at the next listing
    }
}

std::string RasService::DriverOf(const Device& d) const
{
    if (d.type != "modem")
        return "simulated";
    if (const SerialModem* m = net_.SerialFor(d.name)) {
        std::string text = "serial " + m->port + " " + std::to_string(m->speed);
        if (serial_.Inhibits(m->name))
            text += "\tmanaged by ModemManager, released for the dial";
        return text;
    }
    return "simulated";
}

const std::vector<Device>& RasService::Devices()
{
    RegisterSerialModems();
    std::optional<int64_t> stamp;
    try {
        stamp = Registry().ChangeStamp();
    } catch (const std::exception&) {
        // unreadable now: read the list (as far as it goes) every time
    }
    if (!stamp || stamp != devicesStamp_) {
        devices_ = ras::EnumDevices(Registry(), version_, net_);
        devicesStamp_ = stamp;
    }
    return devices_;
}

bool RasService::SavePhonebook()
{
    const bool ok = phonebook_.Save();
    phonebookTime_ = MTime(Phonebook::DefaultPath());
    return ok;
}

bool RasService::PhonebookOk(const std::optional<std::string>& phonebook) const
{
    if (!phonebook || phonebook->empty())
        return true;
    return SameText(*phonebook, Phonebook::DefaultWindowsPath())
        || WindowsPathToHost(*phonebook) == Phonebook::DefaultPath();
}

RasService::Connection* RasService::FindConnection(uint32_t handle)
{
    const auto it = connections_.find(handle);
    return it == connections_.end() ? nullptr : it->second.get();
}

std::string RasService::Handle(const Frame& request, int client, bool& dialChannel)
{
    dialChannel = false;
    if (net_.disabled && !IsControl(request.type))
        return Reply(ERROR_RASMAN_CANNOT_INITIALIZE);
    Refresh();
    Reader r(request.payload);
    std::string reply;
    try {
        switch (request.type) {
        case Msg::Ping: reply = Reply(SUCCESS); break;
        case Msg::EnumDevices: reply = EnumDevices(r); break;
        case Msg::EnumEntries: reply = EnumEntries(r); break;
        case Msg::EnumConnections: reply = EnumConnections(r); break;
        case Msg::GetEntry: reply = GetEntry(r); break;
        case Msg::SetEntry: reply = SetEntry(r); break;
        case Msg::DeleteEntry: reply = DeleteEntry(r); break;
        case Msg::GetDialParams: reply = GetDialParams(r); break;
        case Msg::SetDialParams: reply = SetDialParams(r); break;
        case Msg::Dial: reply = Dial(r, client, dialChannel); break;
        case Msg::HangUp: reply = HangUp(r); break;
        case Msg::GetStatus: reply = GetStatus(r); break;
        case Msg::GetStatistics: reply = GetStatistics(r); break;
        case Msg::CtlList: reply = CtlList(); break;
        case Msg::CtlDrop: reply = CtlDrop(r); break;
        case Msg::CtlTraffic: reply = CtlTraffic(r); break;
        case Msg::CtlFreeze: frozen_ = true; reply = Reply(SUCCESS); break;
        case Msg::CtlThaw: frozen_ = false; reply = Reply(SUCCESS); break;
        case Msg::CtlStop: stop_ = true; reply = Reply(SUCCESS); break;
        case Msg::CtlReload: Reload(); reply = Reply(SUCCESS); break;
        case Msg::CtlHistory: reply = CtlHistory(r); break;
        case Msg::CtlHistorySet: reply = CtlHistorySet(r); break;
        case Msg::CtlModem: reply = CtlModem(r); break;
        case Msg::CtlUssd: reply = CtlUssd(r); break;
        case Msg::CtlUssdResult: reply = CtlUssdResult(r); break;
        default: reply = Reply(ERROR_INVALID_PARAMETER); break;
        }
    } catch (const std::exception&) {
        // a registry or file failure inside one request must not end the service
        reply = Reply(ERROR_UNKNOWN);
    }
    if (r.Failed()) {
        dialChannel = false;
        return Reply(ERROR_INVALID_PARAMETER);
    }
    return reply;
}

// ------------------------------------------------------------------ enumerations

std::string RasService::EnumDevices(Reader& r)
{
    const bool hasBuf = r.U32() != 0;
    const uint32_t recSize = r.U32();
    const uint32_t cb = r.U32();
    if (r.Failed())
        return {};
    if (hasBuf && !SizeAccepted(Record::DevInfo, recSize, version_))
        return Reply(ERROR_INVALID_SIZE);
    const std::vector<Device>& devices = Devices();
    const uint32_t count = static_cast<uint32_t>(devices.size());
    const uint32_t required = count * uint32_t(sizeof(RASDEVINFOA));
    if (count > 0 && (!hasBuf || cb < required))
        return Writer().U32(ERROR_BUFFER_TOO_SMALL).U32(required).U32(count).Str("").Data();
    std::string data;
    for (const Device& d : devices) {
        RASDEVINFOA rec{};
        rec.dwSize = sizeof rec;
        PutText(rec.szDeviceType, sizeof rec.szDeviceType, Utf8ToCp1251(d.type));
        PutText(rec.szDeviceName, sizeof rec.szDeviceName, Utf8ToCp1251(d.name));
        data += Bytes(rec, sizeof rec);
    }
    return Writer().U32(SUCCESS).U32(required).U32(count).Str(data).Data();
}

std::string RasService::EnumEntries(Reader& r)
{
    const bool hasReserved = r.U32() != 0;
    const auto phonebook = r.OptStr();
    const bool hasBuf = r.U32() != 0;
    const uint32_t recSize = r.U32();
    const uint32_t cb = r.U32();
    if (r.Failed())
        return {};
    if (hasReserved)
        return Reply(ERROR_INVALID_PARAMETER);
    if (hasBuf && !SizeAccepted(Record::EntryName, recSize, version_))
        return Reply(ERROR_INVALID_SIZE);
    if (!PhonebookOk(phonebook))
        return Reply(ERROR_CANNOT_OPEN_PHONEBOOK);
    const uint32_t size = hasBuf ? recSize : NativeSize(Record::EntryName, version_);
    const auto& entries = phonebook_.Entries();
    const uint32_t count = static_cast<uint32_t>(entries.size());
    const uint32_t required = count * size;
    if (count > 0 && (!hasBuf || cb < required))
        return Writer().U32(ERROR_BUFFER_TOO_SMALL).U32(required).U32(count).Str("").Data();
    std::string data;
    for (const PhonebookEntry& e : entries) {
        RASENTRYNAMEA rec{};
        rec.dwSize = size;
        PutText(rec.szEntryName, sizeof rec.szEntryName, e.name);
        if (size >= sizeof(RASENTRYNAME_532)) {
            rec.dwFlags = 1; // REN_AllUsers
            PutText(rec.szPhonebookPath, sizeof rec.szPhonebookPath, Phonebook::DefaultWindowsPath());
        }
        data += Bytes(rec, size);
    }
    return Writer().U32(SUCCESS).U32(required).U32(count).Str(data).Data();
}

std::string RasService::EnumConnections(Reader& r)
{
    const bool hasBuf = r.U32() != 0;
    const uint32_t recSize = r.U32();
    const uint32_t cb = r.U32();
    if (r.Failed())
        return {};
    if (hasBuf && !SizeAccepted(Record::Conn, recSize, version_))
        return Reply(ERROR_INVALID_SIZE);
    const uint32_t size = hasBuf ? recSize : NativeSize(Record::Conn, version_);
    std::vector<const Connection*> live;
    for (const auto& [h, c] : connections_) {
        if (c->dialling || (c->connected && !c->dropped))
            live.push_back(c.get());
    }
    const uint32_t count = static_cast<uint32_t>(live.size());
    const uint32_t required = count * size;
    if (count > 0 && (!hasBuf || cb < required))
        return Writer().U32(ERROR_BUFFER_TOO_SMALL).U32(required).U32(count).Str("").Data();
    std::string data;
    for (const Connection* c : live) {
        RASCONNA rec{};
        rec.dwSize = size;
        rec.hrasconn = c->handle;
        PutText(rec.szEntryName, sizeof rec.szEntryName, c->entry);
        PutText(rec.szDeviceType, sizeof rec.szDeviceType, c->deviceType);
        PutText(rec.szDeviceName, sizeof rec.szDeviceName, c->deviceName);
        if (size >= sizeof(RASCONN_676)) {
            PutText(rec.szPhonebook, sizeof rec.szPhonebook, Phonebook::DefaultWindowsPath());
            rec.dwSubEntry = 1;
        }
        if (size >= sizeof(RASCONN_692))
            rec.guidEntry = c->guid;
        data += Bytes(rec, size);
    }
    return Writer().U32(SUCCESS).U32(required).U32(count).Str(data).Data();
}

// ------------------------------------------------------------------ entries

std::string RasService::GetEntry(Reader& r)
{
    const auto phonebook = r.OptStr();
    const auto entry = r.OptStr();
    const bool hasBuf = r.U32() != 0;
    const uint32_t recSize = r.U32();
    const uint32_t infoSize = r.U32();
    if (r.Failed())
        return {};
    const uint32_t native = NativeSize(Record::Entry, version_);
    if (!hasBuf)
        return Writer().U32(ERROR_BUFFER_TOO_SMALL).U32(native).Str("").Data();
    if (!SizeAccepted(Record::Entry, recSize, version_))
        return Reply(ERROR_INVALID_SIZE);
    if (infoSize < recSize)
        return Writer().U32(ERROR_BUFFER_TOO_SMALL).U32(recSize).Str("").Data();
    if (!PhonebookOk(phonebook))
        return Reply(ERROR_CANNOT_OPEN_PHONEBOOK);
    RASENTRYA rec{};
    if (entry && !entry->empty()) {
        const PhonebookEntry* e = phonebook_.Find(*entry);
        if (!e)
            return Reply(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
        rec = e->props;
    } else {
        // the properties a new entry starts with
        rec.dwFramingProtocol = RASFP_Ppp;
        rec.dwfNetProtocols = RASNP_Ip;
    }
    rec.dwSize = recSize;
    return Writer().U32(SUCCESS).U32(recSize).Str(Bytes(rec, recSize)).Data();
}

std::string RasService::SetEntry(Reader& r)
{
    const auto phonebook = r.OptStr();
    const auto entry = r.OptStr();
    const std::string record = r.Str();
    const uint32_t infoSize = r.U32();
    if (r.Failed())
        return {};
    if (!entry || !Phonebook::ValidName(*entry) || record.size() < 4)
        return Reply(ERROR_INVALID_PARAMETER);
    uint32_t recSize;
    std::memcpy(&recSize, record.data(), 4);
    if (!SizeAccepted(Record::Entry, recSize, version_) || infoSize < recSize || record.size() < recSize)
        return Reply(ERROR_INVALID_SIZE);
    if (!PhonebookOk(phonebook))
        return Reply(ERROR_CANNOT_OPEN_PHONEBOOK);
    const bool existed = phonebook_.Find(*entry) != nullptr;
    PhonebookEntry& e = phonebook_.Upsert(*entry);
    const PhonebookEntry before = e;
    // Fields beyond the caller's layout keep what the entry had.
    std::memcpy(&e.props, record.data(), recSize);
    // Texts are taken only up to their own field's end.
    for (const EntryField& f : EntryFields()) {
        if (f.kind == EntryField::Kind::Text && f.offset + f.length <= recSize) {
            char* p = reinterpret_cast<char*>(&e.props) + f.offset;
            PutText(p, f.length, BoundedText(p, f.length));
        }
    }
    e.props.dwSize = sizeof(RASENTRYA);
    if (!SavePhonebook()) {
        if (existed)
            *phonebook_.Find(*entry) = before;
        else
            phonebook_.Remove(*entry);
        return Reply(ERROR_CANNOT_WRITE_PHONEBOOK);
    }
    return Reply(SUCCESS);
}

std::string RasService::DeleteEntry(Reader& r)
{
    const auto phonebook = r.OptStr();
    const auto entry = r.OptStr();
    if (r.Failed())
        return {};
    if (!entry)
        return Reply(ERROR_INVALID_PARAMETER);
    if (!PhonebookOk(phonebook))
        return Reply(ERROR_CANNOT_OPEN_PHONEBOOK);
    if (!phonebook_.Remove(*entry))
        return Reply(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    return Reply(SavePhonebook() ? SUCCESS : ERROR_CANNOT_WRITE_PHONEBOOK);
}

// The dial parameters record of a request: its size checked for the emulated
// version, the phonebook named and the entry found; SUCCESS with the record in
// `p` and its entry in `entry`, else the error to answer.
DWORD RasService::CheckDialParams(const std::optional<std::string>& phonebook, const std::string& record,
                                  RASDIALPARAMSA& p, PhonebookEntry*& entry)
{
    if (record.size() < 4)
        return ERROR_INVALID_PARAMETER;
    std::memcpy(&p, record.data(), std::min(record.size(), sizeof p));
    if (!SizeAccepted(Record::DialParams, p.dwSize, version_) || record.size() < p.dwSize)
        return ERROR_INVALID_SIZE;
    if (!PhonebookOk(phonebook))
        return ERROR_CANNOT_OPEN_PHONEBOOK;
    entry = phonebook_.Find(BoundedText(p.szEntryName, sizeof p.szEntryName));
    return entry ? SUCCESS : ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
}

std::string RasService::GetDialParams(Reader& r)
{
    const auto phonebook = r.OptStr();
    const std::string record = r.Str();
    if (r.Failed())
        return {};
    RASDIALPARAMSA p{};
    PhonebookEntry* e = nullptr;
    if (const DWORD code = CheckDialParams(phonebook, record, p, e); code != SUCCESS)
        return Reply(code);
    const uint32_t size = p.dwSize;
    RASDIALPARAMSA out{};
    out.dwSize = size;
    PutText(out.szEntryName, sizeof out.szEntryName, e->name);
    PutText(out.szUserName, sizeof out.szUserName, e->userName);
    PutText(out.szPassword, sizeof out.szPassword, e->passwordSaved ? e->password : "");
    PutText(out.szDomain, sizeof out.szDomain, e->domain);
    return Writer().U32(SUCCESS).Str(Bytes(out, size)).U32(e->passwordSaved ? 1 : 0).Data();
}

std::string RasService::SetDialParams(Reader& r)
{
    const auto phonebook = r.OptStr();
    const std::string record = r.Str();
    const bool removePassword = r.U32() != 0;
    if (r.Failed())
        return {};
    RASDIALPARAMSA p{};
    PhonebookEntry* e = nullptr;
    if (const DWORD code = CheckDialParams(phonebook, record, p, e); code != SUCCESS)
        return Reply(code);
    e->userName = BoundedText(p.szUserName, sizeof p.szUserName);
    e->domain = BoundedText(p.szDomain, sizeof p.szDomain);
    e->passwordSaved = !removePassword;
    e->password = removePassword ? std::string() : BoundedText(p.szPassword, sizeof p.szPassword);
    return Reply(SavePhonebook() ? SUCCESS : ERROR_CANNOT_WRITE_PHONEBOOK);
}

// ------------------------------------------------------------------ connections

std::string RasService::Dial(Reader& r, int client, bool& dialChannel)
{
    const auto phonebook = r.OptStr();
    const std::string record = r.Str();
    if (r.Failed())
        return {};
    RASDIALPARAMSA p{};
    PhonebookEntry* e = nullptr;
    if (const DWORD code = CheckDialParams(phonebook, record, p, e); code != SUCCESS)
        return Reply(code);

    for (auto& [h, c] : connections_) {
        if (!SameText(c->entry, e->name))
            continue;
        if (c->dialling)
            return Reply(ERROR_DIAL_ALREADY_IN_PROGRESS);
        if (c->connected && !c->dropped) {
            // Dialling a connected entry hands back its connection.
            dialChannel = true;
            channels_.Report(client, RASCS_Connected, 0);
            channels_.Close(client);
            return Writer().U32(SUCCESS).U32(c->handle).Data();
        }
    }

    auto c = std::make_unique<Connection>();
    c->handle = nextHandle_++;
    if (nextHandle_ == 0)
        nextHandle_ = 0x10000;
    c->entry = e->name;
    c->deviceType = BoundedText(e->props.szDeviceType, sizeof e->props.szDeviceType);
    c->deviceName = BoundedText(e->props.szDeviceName, sizeof e->props.szDeviceName);
    const std::string number = BoundedText(p.szPhoneNumber, sizeof p.szPhoneNumber);
    c->phone = number.empty() ? BoundedText(e->props.szLocalPhoneNumber, sizeof e->props.szLocalPhoneNumber)
                              : number;
    c->guid = e->props.guidId;

    const std::string deviceUtf8 = Cp1251ToUtf8(c->deviceName);
    bool present = false;
    for (const Device& d : Devices())
        present = present || (d.name == deviceUtf8 && SameText(Utf8ToCp1251(d.type), c->deviceType));
    if (!present)
        c->startError = ERROR_CONNECTING_DEVICE_NOT_FOUND;
    for (const auto& [h, other] : connections_) {
        if (SameText(other->deviceName, c->deviceName) && (other->dialling || (other->connected && !other->dropped)))
            c->startError = ERROR_PORT_NOT_AVAILABLE;
    }
    const bool modem = SameText(c->deviceType, "modem");
    DialRequest req;
    req.handle = c->handle;
    req.device = deviceUtf8;
    req.phone = Cp1251ToUtf8(c->phone);
    req.user = BoundedText(p.szUserName, sizeof p.szUserName);
    req.password = BoundedText(p.szPassword, sizeof p.szPassword);
    req.defaultRoute = (e->props.dwfOptions & RASEO_RemoteDefaultGateway) != 0;
    if (modem) {
        req.userInit = ModemUserInit(Registry(), version_, deviceUtf8);
        req.apn = ApnFromUserInit(req.userInit);
    }
    c->apn = Cp1251ToUtf8(req.apn);
    const auto now = Clock::now();
    NoteDial(DialNote::None); // what held a port at an earlier dial is no news for this one
    // A question on its way to the modem gives the port up for the dial.
    for (Question& q : questions_) {
        if (!q.done && SameText(q.device, deviceUtf8)) {
            q.question.reset();
            q.done = true;
            q.error = ERROR_PORT_NOT_AVAILABLE;
            q.doneAt = now;
        }
    }
    if (modem && net_.SerialFor(deviceUtf8) != nullptr)
        c->link = serial_.Dial(req, now);
    else
        c->link = simulated_.Dial(req, now);
    c->channel = client;
    dialChannel = true;
    const HRASCONN handle = c->handle;
    connections_.emplace(handle, std::move(c));
    return Writer().U32(SUCCESS).U32(handle).Data();
}

void RasService::Fail(Connection& c, uint32_t state, uint32_t error)
{
    c.state = state;
    c.error = error;
    c.dialling = false;
    if (c.channel >= 0) {
        channels_.Report(c.channel, state, error);
        channels_.Close(c.channel);
        c.channel = -1;
    }
}

void RasService::Count(Connection& c, Clock::time_point now)
{
    if (!c.connected || c.dropped || !c.link)
        return;
    const LinkCounters before = c.counted;
    c.counted = c.link->Count(now);
    history_->Observe(c.handle, c.counted);
    if (!version_.nt) {
        adapterRx_ += c.counted.rx >= before.rx ? c.counted.rx - before.rx : 0;
        adapterTx_ += c.counted.tx >= before.tx ? c.counted.tx - before.tx : 0;
        adapterDirty_ = true;
    }
}

void RasService::Drop(Connection& c, Clock::time_point now)
{
    if (!c.link || !(c.dialling || (c.connected && !c.dropped)))
        return;
    Events events(*this, c, now);
    c.link->Drop(now, events);
}

void RasService::WriteAdapterTotals()
{
    if (version_.nt || !adapterDirty_)
        return;
    try {
        TRegistry& reg = Registry();
        reg.SetRootKey(RegHive::DynData);
        if (reg.OpenKey(kAdapterKey, true)) {
            auto put = [&](const char* name, uint64_t v) {
                const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
                reg.WriteBinaryData(name, b, 4);
            };
            put(kAdapterRx, adapterRx_);
            put(kAdapterTx, adapterTx_);
            reg.CloseKey();
        }
        devicesStamp_.reset(); // its own writes do not change the stamp
        adapterDirty_ = false;
    } catch (const std::exception&) {
        // tried again at the next tick
    }
}

RasService::Clock::time_point RasService::Advance(Clock::time_point now)
{
    Clock::time_point next = serial_.Advance(now);
    AdvanceQuestions(now, next);
    for (auto& [h, c] : connections_) {
        if (c->dialling && c->startError != 0) {
            Fail(*c, RASCS_OpenPort, c->startError);
            continue;
        }
        if (!c->link || !(c->dialling || (c->connected && !c->dropped)))
            continue;
        Events events(*this, *c, now);
        next = std::min(next, c->link->Advance(now, events));
    }
    if (now >= nextTick_) {
        for (auto& [h, c] : connections_)
            Count(*c, now);
        WriteAdapterTotals();
        if (history_->Tick(now))
            HangUpAtLimit(now);
        nextTick_ = now + std::chrono::milliseconds(net_.tickMs);
    }
    return std::min(next, nextTick_);
}

void RasService::Watch(std::vector<pollfd>& fds) const
{
    for (const Question& q : questions_) {
        if (q.question)
            q.question->Watch(fds);
    }
    for (const auto& [h, c] : connections_) {
        if (c->link && (c->dialling || (c->connected && !c->dropped)))
            c->link->Watch(fds);
    }
}

void RasService::ClientGone(int client)
{
    for (auto& [h, c] : connections_) {
        if (c->channel == client)
            c->channel = -1;
    }
}

std::string RasService::HangUp(Reader& r)
{
    const uint32_t handle = r.U32();
    if (r.Failed())
        return {};
    Connection* c = FindConnection(handle);
    if (!c)
        return Reply(ERROR_INVALID_HANDLE);
    Count(*c, Clock::now());
    if (c->connected && !c->dropped)
        history_->End(handle, "hangup");
    if (c->channel >= 0)
        channels_.EndReports(c->channel);
    connections_.erase(handle);
    return Reply(SUCCESS);
}

std::string RasService::GetStatus(Reader& r)
{
    const uint32_t handle = r.U32();
    const uint32_t recSize = r.U32();
    if (r.Failed())
        return {};
    if (!SizeAccepted(Record::ConnStatus, recSize, version_))
        return Reply(ERROR_INVALID_SIZE);
    const Connection* c = FindConnection(handle);
    if (!c)
        return Reply(ERROR_INVALID_HANDLE);
    RASCONNSTATUSA s{};
    s.dwSize = recSize;
    s.rasconnstate = static_cast<RASCONNSTATE>(c->state);
    s.dwError = c->error;
    PutText(s.szDeviceType, sizeof s.szDeviceType, c->deviceType);
    PutText(s.szDeviceName, sizeof s.szDeviceName, c->deviceName);
    if (recSize >= sizeof(RASCONNSTATUS_288))
        PutText(s.szPhoneNumber, sizeof s.szPhoneNumber, c->phone);
    return Writer().U32(SUCCESS).Str(Bytes(s, recSize)).Data();
}

std::string RasService::GetStatistics(Reader& r)
{
    const uint32_t handle = r.U32();
    const uint32_t recSize = r.U32();
    if (r.Failed())
        return {};
    if (!version_.nt || version_.Code() < 500)
        return Reply(ERROR_CALL_NOT_IMPLEMENTED);
    if (!SizeAccepted(Record::Stats, recSize, version_))
        return Reply(ERROR_INVALID_SIZE);
    Connection* c = FindConnection(handle);
    if (!c)
        return Reply(ERROR_INVALID_HANDLE);
    const auto now = Clock::now();
    Count(*c, now);
    RAS_STATS s{};
    s.dwSize = sizeof s;
    s.dwCompressionRatioIn = 100;
    s.dwCompressionRatioOut = 100;
    s.dwBytesRcved = static_cast<uint32_t>(c->counted.rx);
    s.dwBytesXmited = static_cast<uint32_t>(c->counted.tx);
    s.dwFramesRcved = s.dwBytesRcved / 1500;
    s.dwFramesXmited = s.dwBytesXmited / 1500;
    if (c->connected) {
        s.dwBps = c->link ? c->link->Bps() : 0;
        const auto end = c->dropped ? c->droppedAt : now;
        s.dwConnectDuration = static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - c->connectedAt).count());
    }
    return Writer().U32(SUCCESS).Str(Bytes(s, sizeof s)).Data();
}

// ------------------------------------------------------------------ control

std::string RasService::CtlList()
{
    Writer w;
    w.U32(SUCCESS).U32(frozen_ ? 1 : 0);
    const std::vector<Device>& devices = Devices();
    w.U32(static_cast<uint32_t>(devices.size()));
    for (const Device& d : devices)
        w.Str(d.type).Str(d.name).Str(DriverOf(d));
    w.U32(static_cast<uint32_t>(phonebook_.Entries().size()));
    for (const PhonebookEntry& e : phonebook_.Entries()) {
        w.Str(Cp1251ToUtf8(e.name))
            .Str(Cp1251ToUtf8(BoundedText(e.props.szDeviceName, sizeof e.props.szDeviceName)))
            .Str(Cp1251ToUtf8(BoundedText(e.props.szLocalPhoneNumber, sizeof e.props.szLocalPhoneNumber)));
    }
    const auto now = Clock::now();
    w.U32(static_cast<uint32_t>(connections_.size()));
    for (auto& [h, c] : connections_) {
        Count(*c, now);
        w.U32(c->handle).Str(Cp1251ToUtf8(c->entry)).Str(Cp1251ToUtf8(c->deviceName)).U32(c->state).U32(c->error);
        w.U32(static_cast<uint32_t>(c->counted.rx));
        w.U32(static_cast<uint32_t>(c->counted.tx));
        w.Str(c->link && c->state == RASCS_Connected ? c->link->Addresses() : std::string());
    }
    return w.Data();
}

std::string RasService::CtlDrop(Reader& r)
{
    const uint32_t handle = r.U32();
    if (r.Failed())
        return {};
    const auto now = Clock::now();
    if (handle == 0) {
        for (auto& [h, c] : connections_)
            Drop(*c, now);
        return Reply(SUCCESS);
    }
    Connection* c = FindConnection(handle);
    if (!c)
        return Reply(ERROR_INVALID_HANDLE);
    Drop(*c, now);
    return Reply(SUCCESS);
}

std::string RasService::CtlTraffic(Reader& r)
{
    const uint32_t handle = r.U32();
    const uint32_t rx = r.U32();
    const uint32_t tx = r.U32();
    if (r.Failed())
        return {};
    Connection* c = FindConnection(handle);
    if (!c)
        return Reply(ERROR_INVALID_HANDLE);
    Count(*c, Clock::now());
    if (!c->link || !c->link->SetTraffic(rx, tx))
        return Reply(ERROR_CALL_NOT_IMPLEMENTED); // a real line's traffic is its own
    return Reply(SUCCESS);
}

// ------------------------------------------------------------------ history

// The subscriber asked for it: the links end at the cycle's limit, once per
// cycle, and nothing dials them again.
void RasService::HangUpAtLimit(Clock::time_point now)
{
    for (auto& [h, c] : connections_) {
        if (!c->connected || c->dropped)
            continue;
        Count(*c, now);
        history_->End(c->handle, "hangup");
        c->link.reset();
        c->dropped = true;
        c->droppedAt = now;
        c->state = RASCS_Disconnected;
        c->error = ERROR_USER_DISCONNECTION;
        ServiceLog("history: " + Cp1251ToUtf8(c->entry) + " hung up at the traffic limit of the billing cycle");
    }
    history_->LimitHangUpMade();
}

std::string RasService::CtlHistory(Reader& r)
{
    const auto kind = static_cast<HistoryKind>(r.U32());
    const uint32_t rows = std::min(r.U32(), kMaxHistoryRows);
    if (r.Failed())
        return {};
    if (rows == 0)
        return Reply(ERROR_INVALID_PARAMETER);
    // The figures of links that are up go as far as now.
    const auto now = Clock::now();
    for (auto& [h, c] : connections_)
        Count(*c, now);
    Writer w;
    w.U32(SUCCESS);
    switch (kind) {
    case HistoryKind::Sessions: PutSessions(w, history_->Sessions(rows)); break;
    case HistoryKind::Days: PutDays(w, history_->Days(rows)); break;
    case HistoryKind::Cycles: PutCycles(w, history_->Cycles(rows)); break;
    case HistoryKind::Usage: PutUsage(w, history_->Usage()); break;
    default: return Reply(ERROR_INVALID_PARAMETER);
    }
    return w.Data();
}

std::string RasService::CtlHistorySet(Reader& r)
{
    const auto what = static_cast<HistorySetting>(r.U32());
    const uint64_t value = r.U64();
    const std::string text = r.Str();
    if (r.Failed())
        return {};
    if (what == HistorySetting::Clear) {
        const auto now = Clock::now();
        for (auto& [h, c] : connections_)
            Count(*c, now);
    }
    return Reply(history_->Change(what, value, text));
}

} // namespace sp::ras

namespace sp::ras {

// ------------------------------------------------------------------ the modem's word

std::optional<std::string> RasService::ModemNamed(const std::string& name)
{
    for (const Device& d : Devices()) {
        if (SameText(d.type, "modem") && SameText(d.name, name))
            return d.name;
    }
    return std::nullopt;
}

bool RasService::DeviceInUse(const std::string& device) const
{
    const std::string name = Utf8ToCp1251(device);
    return std::any_of(connections_.begin(), connections_.end(), [&](const auto& hc) {
        const Connection& c = *hc.second;
        return SameText(c.deviceName, name) && (c.dialling || (c.connected && !c.dropped));
    });
}

Driver& RasService::DriverFor(const std::string& device)
{
    if (net_.SerialFor(device) != nullptr)
        return serial_;
    return simulated_;
}

std::string RasService::CtlModem(Reader& r)
{
    const std::string name = r.Str();
    const uint32_t fresh = r.U32();
    if (r.Failed())
        return {};
    const auto device = ModemNamed(name);
    if (!device)
        return Reply(ERROR_DEVICE_DOES_NOT_EXIST);
    const std::string key = LowerAscii(*device);
    bool asking = std::any_of(questions_.begin(), questions_.end(),
                              [&](const Question& q) { return !q.done && LowerAscii(q.device) == key; });
    ModemReading& reading = readings_[key];
    const int64_t age = static_cast<int64_t>(std::time(nullptr)) - reading.readAt;
    const auto now = Clock::now();
    // A modem that could not be read just now is not asked again at once
    // (its callers would ask it over and over): its trouble is the answer
    // until the reading's freshness has run out.
    const Question* last = nullptr;
    for (const Question& q : questions_) {
        if (q.done && !q.ussd && LowerAscii(q.device) == key && (!last || q.doneAt >= last->doneAt))
            last = &q;
    }
    const uint32_t failed = last && now - last->doneAt < std::chrono::seconds(fresh) ? last->error : 0;
    const bool mayAsk = fresh != static_cast<uint32_t>(kLastReadingOnly.count()) && failed == 0;
    if (mayAsk && !asking && (!reading.Known() || age < 0 || age >= static_cast<int64_t>(fresh))) {
        uint32_t refusal = 0;
        if (auto q = DriverFor(*device).Ask(*device, {}, DeviceInUse(*device), now, refusal)) {
            Question x;
            x.ticket = nextTicket_++;
            x.device = *device;
            x.question = std::move(q);
            x.deadline = now + kReadingBound;
            questions_.push_back(std::move(x));
            asking = true;
        }
    }
    Writer w;
    w.U32(SUCCESS).U32(asking ? 1 : 0);
    PutReading(w, reading);
    w.U32(asking ? 0 : failed);
    return w.Data();
}

std::string RasService::CtlUssd(Reader& r)
{
    const std::string name = r.Str();
    std::string code = r.Str();
    if (r.Failed())
        return {};
    const auto device = ModemNamed(name);
    if (!device)
        return Reply(ERROR_DEVICE_DOES_NOT_EXIST);
    if (code.empty()) {
        const SerialModem* m = net_.SerialFor(*device);
        code = m != nullptr ? m->balanceCode : net_.For(*device).balanceCode;
    }
    if (!UssdCode(code))
        return Reply(ERROR_INVALID_PARAMETER);
    const std::string key = LowerAscii(*device);
    for (const Question& q : questions_) {
        if (!q.done && q.ussd && LowerAscii(q.device) == key)
            return Reply(ERROR_PORT_NOT_AVAILABLE); // one USSD session at a time
    }
    // A reading on its way gives the port up for the code.
    questions_.erase(std::remove_if(questions_.begin(), questions_.end(),
                                    [&](const Question& q) { return !q.done && !q.ussd && LowerAscii(q.device) == key; }),
                     questions_.end());
    const auto now = Clock::now();
    uint32_t refusal = 0;
    auto q = DriverFor(*device).Ask(*device, code, DeviceInUse(*device), now, refusal);
    if (!q) {
        ServiceLog(*device + ": USSD " + code + " not sent: " + std::string(ErrorText(refusal)));
        return Reply(refusal);
    }
    Question x;
    x.ticket = nextTicket_++;
    x.device = *device;
    x.ussd = true;
    x.question = std::move(q);
    x.deadline = now + kUssdBound;
    const uint32_t ticket = x.ticket;
    questions_.push_back(std::move(x));
    return Writer().U32(SUCCESS).U32(ticket).Data();
}

std::string RasService::CtlUssdResult(Reader& r)
{
    const uint32_t ticket = r.U32();
    if (r.Failed())
        return {};
    for (const Question& q : questions_) {
        if (q.ticket != ticket || !q.ussd)
            continue;
        if (!q.done)
            return Writer().U32(PENDING).Str("").Data();
        return Writer().U32(q.error).Str(q.answer).Data();
    }
    return Reply(ERROR_INVALID_HANDLE);
}

void RasService::AdvanceQuestions(Clock::time_point now, Clock::time_point& next)
{
    for (Question& q : questions_) {
        if (q.done || !q.question)
            continue;
        next = std::min(next, q.question->Advance(now));
        if (!q.question->Done() && now >= q.deadline) {
            ServiceLog(q.device + (q.ussd ? ": no answer to the USSD code in time" : ": no reading in time"));
            q.done = true;
            q.error = ERROR_REQUEST_TIMEOUT;
        } else if (q.question->Done()) {
            q.done = true;
            q.error = q.question->Error();
            q.answer = q.question->Answer();
            if (q.question->Reading().Known())
                readings_[LowerAscii(q.device)] = q.question->Reading();
        } else {
            next = std::min(next, q.deadline);
            continue;
        }
        q.doneAt = now;
        q.question.reset(); // the port is free again
    }
    questions_.erase(std::remove_if(questions_.begin(), questions_.end(),
                                    [&](const Question& q) { return q.done && now - q.doneAt >= kAnswerKept; }),
                     questions_.end());
    for (const Question& q : questions_) {
        if (q.done)
            next = std::min(next, q.doneAt + kAnswerKept);
    }
}

} // namespace sp::ras
