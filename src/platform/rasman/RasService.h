#pragma once

#include "platform/base/MachineRoot.h"
#include "platform/rasapi/RasProtocol.h"
#include "platform/rasapi/ras.h"
#include "platform/rasman/Devices.h"
#include "platform/rasman/Link.h"
#include "platform/rasman/NetworkConfig.h"
#include "platform/rasman/Phonebook.h"
#include "platform/rasman/SerialLink.h"
#include "platform/rasman/SimulatedLink.h"
#include "platform/rasman/TrafficHistory.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace sp {
class TRegistry;
}

namespace sp::ras {

// Where the service sends dial state reports: the socket of the client that
// dialled (identified by the loop's client id).
class DialChannels {
public:
    virtual ~DialChannels() = default;
    virtual void Report(int client, uint32_t state, uint32_t error) = 0;
    // Closes the channel once what is queued has gone out.
    virtual void Close(int client) = 0;
    // Tells the client that no final report will come (the dial was hung
    // up), then closes; a channel that just breaks means the service is gone.
    virtual void EndReports(int client) = 0;
};

// The remote access service without its sockets: the phonebook, the devices,
// the connections with their dial state machines and counters, and the
// answers to every request. Single-threaded; the loop feeds it requests and
// the clock.
class RasService {
public:
    using Clock = std::chrono::steady_clock;

    explicit RasService(DialChannels& channels);
    ~RasService();
    RasService(const RasService&) = delete;
    RasService& operator=(const RasService&) = delete;

    // Reads machine.ini, network.ini and the phonebook again. (Files changed
    // by others are also picked up at the next request.)
    void Reload();

    // Answers one request (the reply payload). A Dial request makes the
    // client the dial's report channel: dialChannel is then set.
    [[nodiscard]] std::string Handle(const Frame& request, int client, bool& dialChannel);

    // The client's socket closed: its dials go on without reports.
    void ClientGone(int client);

    // Runs what is due (dial steps, dropped links, counters); returns when
    // it next has something to do.
    Clock::time_point Advance(Clock::time_point now);
    // The descriptors of real devices whose input is to wake the loop.
    void Watch(std::vector<pollfd>& fds) const;

    [[nodiscard]] bool Frozen() const { return frozen_; }
    [[nodiscard]] bool StopRequested() const { return stop_; }
    [[nodiscard]] const NetworkConfig& Network() const { return net_; }

private:
    struct Connection;
    class Events;

    std::string EnumDevices(Reader& r);
    std::string EnumEntries(Reader& r);
    std::string EnumConnections(Reader& r);
    std::string GetEntry(Reader& r);
    std::string SetEntry(Reader& r);
    std::string DeleteEntry(Reader& r);
    std::string GetDialParams(Reader& r);
    std::string SetDialParams(Reader& r);
    std::string Dial(Reader& r, int client, bool& dialChannel);
    std::string HangUp(Reader& r);
    std::string GetStatus(Reader& r);
    std::string GetStatistics(Reader& r);
    std::string CtlList();
    std::string CtlDrop(Reader& r);
    std::string CtlTraffic(Reader& r);
    std::string CtlHistory(Reader& r);
    std::string CtlHistorySet(Reader& r);
    std::string CtlModem(Reader& r);
    std::string CtlUssd(Reader& r);
    std::string CtlUssdResult(Reader& r);
    // The modem of this name (any spelling of its letters' case), else nothing.
    [[nodiscard]] std::optional<std::string> ModemNamed(const std::string& name);
    [[nodiscard]] bool DeviceInUse(const std::string& device) const;
    Driver& DriverFor(const std::string& device);
    void AdvanceQuestions(Clock::time_point now, Clock::time_point& next);
    void HangUpAtLimit(Clock::time_point now);

    void Refresh(); // picks up files changed by others
    bool PhonebookOk(const std::optional<std::string>& phonebook) const;
    DWORD CheckDialParams(const std::optional<std::string>& phonebook, const std::string& record,
                          RASDIALPARAMSA& p, PhonebookEntry*& entry);
    bool SavePhonebook();
    TRegistry& Registry();
    // The device list, read again only when the registry, machine.ini or
    // network.ini has changed since.
    const std::vector<Device>& Devices();
    // Registers the serial modems of network.ini that the registry lacks.
    void RegisterSerialModems();
    [[nodiscard]] std::string DriverOf(const Device& d) const;
    void Fail(Connection& c, uint32_t state, uint32_t error);
    void Drop(Connection& c, Clock::time_point now);
    void Count(Connection& c, Clock::time_point now);
    void WriteAdapterTotals();
    Connection* FindConnection(uint32_t handle);

    DialChannels& channels_;
    MachineVersion version_;
    NetworkConfig net_;
    Phonebook phonebook_;
    std::filesystem::file_time_type machineIniTime_{};
    std::filesystem::file_time_type phonebookTime_{};
    std::filesystem::file_time_type networkIniTime_{};
    std::unique_ptr<TRegistry> registry_;
    std::vector<Device> devices_;
    std::optional<int64_t> devicesStamp_; // none: to be read
    bool serialRegistered_ = false;
    // The drivers outlive the connections, whose links they made.
    SimulatedDriver simulated_{net_};
    SerialDriver serial_{net_};
    // Beside the connection table: every connection's traffic, whether or
    // not a program watches it.
    std::unique_ptr<TrafficHistory> history_;
    std::map<uint32_t, std::unique_ptr<Connection>> connections_;
    // What each modem last said of its SIM, network and signal (by its
    // lower-case name), and the questions on their way to modems.
    struct Question {
        uint32_t ticket = 0;
        std::string device;
        bool ussd = false;
        std::unique_ptr<ModemQuestion> question;
        Clock::time_point deadline{};
        bool done = false;
        uint32_t error = 0;
        std::string answer;
        Clock::time_point doneAt{};
    };
    std::map<std::string, ModemReading> readings_;
    std::vector<Question> questions_;
    uint32_t nextTicket_ = 1;
    uint32_t nextHandle_;
    bool frozen_ = false;
    bool stop_ = false;
    // Windows 9x: the dial-up adapter's totals since start, in HKEY_DYN_DATA.
    uint64_t adapterRx_ = 0;
    uint64_t adapterTx_ = 0;
    bool adapterDirty_ = false;
    Clock::time_point nextTick_{};
};

} // namespace sp::ras
