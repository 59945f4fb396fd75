#include "platform/rasman/ModemManagerClient.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cstdlib>
#include <cstring>

namespace sp::ras {

namespace {

using namespace std::chrono_literals;

constexpr const char* kService = "org.freedesktop.ModemManager1";
constexpr const char* kManagerPath = "/org/freedesktop/ModemManager1";
constexpr const char* kModemInterface = "org.freedesktop.ModemManager1.Modem";
constexpr const char* kSystemBus = "unix:path=/run/dbus/system_bus_socket";

// The bus answers its own calls at once; ModemManager may first have to
// disable a modem before it lets go of it.
constexpr auto kNameTimeout = 1000ms;
constexpr auto kModemsTimeout = 3000ms;
constexpr auto kInhibitTimeout = 5000ms;
constexpr auto kUninhibitTimeout = 3000ms;
// What one round takes from the bus at most, so a flood cannot hold the loop.
constexpr int kProcessBudget = 64;
// What is taken from ModemManager's answer: more is not a modem of this machine.
constexpr size_t kMaxModems = 64;
constexpr size_t kMaxPorts = 32;
constexpr size_t kMaxText = 1024;

struct Modem {
    std::string uid;
    std::vector<std::string> ports;
};

bool Printable(std::string_view s)
{
    for (const char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

std::string Bounded(const char* s)
{
    std::string text = s ? s : "";
    if (text.size() > kMaxText)
        text.resize(kMaxText);
    return text;
}

// Reads the a{sv} of ModemManager's Modem interface: Device and Ports.
int ReadModemProperties(sd_bus_message* m, Modem& modem)
{
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((r = sd_bus_message_read(m, "s", &name)) < 0)
            return r;
        char type = 0;
        const char* contents = nullptr;
        if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0)
            return r;
        if (std::strcmp(name, "Device") == 0 && contents && std::strcmp(contents, "s") == 0) {
            const char* uid = nullptr;
            if ((r = sd_bus_message_read(m, "v", "s", &uid)) < 0)
                return r;
            modem.uid = uid ? uid : "";
        } else if (std::strcmp(name, "Ports") == 0 && contents && std::strcmp(contents, "a(su)") == 0) {
            if ((r = sd_bus_message_enter_container(m, 'v', "a(su)")) < 0
                || (r = sd_bus_message_enter_container(m, 'a', "(su)")) < 0)
                return r;
            const char* port = nullptr;
            uint32_t portType = 0;
            while ((r = sd_bus_message_read(m, "(su)", &port, &portType)) > 0) {
                if (modem.ports.size() < kMaxPorts && port && std::strlen(port) <= 255)
                    modem.ports.emplace_back(port);
            }
            if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 || (r = sd_bus_message_exit_container(m)) < 0)
                return r;
        } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

// The modems of an ObjectManager answer (a{oa{sa{sv}}}); false when it is
// not one.
bool ReadModems(sd_bus_message* m, std::vector<Modem>& modems)
{
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    if (r < 0)
        return false;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* object = nullptr;
        if (sd_bus_message_read(m, "o", &object) < 0 || sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0)
            return false;
        Modem modem;
        bool isModem = false;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* interface = nullptr;
            if (sd_bus_message_read(m, "s", &interface) < 0)
                return false;
            if (std::strcmp(interface, kModemInterface) == 0) {
                isModem = true;
                if (ReadModemProperties(m, modem) < 0)
                    return false;
            } else if (sd_bus_message_skip(m, "a{sv}") < 0) {
                return false;
            }
            if (sd_bus_message_exit_container(m) < 0)
                return false;
        }
        if (r < 0 || sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0)
            return false;
        // The uid goes back to ModemManager and into the log: only a sane one.
        if (isModem && !modem.uid.empty() && modem.uid.size() <= 4096 && Printable(modem.uid)
            && modems.size() < kMaxModems)
            modems.push_back(std::move(modem));
    }
    return r >= 0;
}

sd_bus* Connect()
{
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return nullptr;
    const std::string address = ModemManagerClient::BusAddress();
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

std::string ErrorOf(sd_bus_message* reply)
{
    const sd_bus_error* e = sd_bus_message_get_error(reply);
    if (!e)
        return "an answer of the wrong kind";
    std::string text = Bounded(e->name);
    if (e->message && *e->message)
        text += ": " + Bounded(e->message);
    return text;
}

uint64_t MonotonicUsec()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace

std::string ModemManagerClient::BusAddress()
{
    for (const char* name : {"SKYPORTAL_SYSTEM_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"}) {
        if (const char* v = std::getenv(name); v && *v)
            return v;
    }
    return kSystemBus;
}

bool ModemManagerClient::SamePort(std::string_view name, const std::string& path)
{
    if (name.empty() || name.size() > 255)
        return false;
    std::string real = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        real = resolved;
        std::free(resolved);
    }
    constexpr std::string_view kDev = "/dev/";
    return real.size() > kDev.size() && real.compare(0, kDev.size(), kDev) == 0 && real.substr(kDev.size()) == name;
}

std::unique_ptr<ModemManagerClient> ModemManagerClient::Start(const std::string& port, Clock::time_point now)
{
    sd_bus* bus = Connect();
    if (!bus)
        return nullptr;
    std::unique_ptr<ModemManagerClient> client(new ModemManagerClient(bus, port));
    // One question costs a system without ModemManager: is the name taken?
    if (!client->Send(Call::Name, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "NameHasOwner", kNameTimeout, now))
        return nullptr;
    return client;
}

ModemManagerClient::ModemManagerClient(sd_bus* bus, std::string port) : bus_(bus), port_(std::move(port)) {}

ModemManagerClient::~ModemManagerClient()
{
    sd_bus_slot_unref(slot_);
    sd_bus_message_unref(reply_);
    sd_bus_close_unref(bus_);
}

// The answer to the call on its way, kept for Process to take.
struct ReplyHandler {
    static int OnReply(sd_bus_message* m, void* self, sd_bus_error*)
    {
        auto* client = static_cast<ModemManagerClient*>(self);
        sd_bus_message_unref(client->reply_);
        client->reply_ = sd_bus_message_ref(m);
        return 1;
    }
};

bool ModemManagerClient::Send(Call call, const char* destination, const char* path, const char* interface,
                              const char* member, std::chrono::milliseconds timeout, Clock::time_point now,
                              const std::string* uid, int inhibit)
{
    slot_ = sd_bus_slot_unref(slot_);
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, destination, path, interface, member);
    if (r >= 0) {
        if (call == Call::Name)
            r = sd_bus_message_append(m, "s", kService);
        else if (uid)
            r = sd_bus_message_append(m, "sb", uid->c_str(), inhibit);
    }
    // ModemManager is never started for a question: a stopped one manages nothing.
    if (r >= 0)
        r = sd_bus_message_set_auto_start(m, 0);
    if (r >= 0)
        r = sd_bus_call_async(bus_, &slot_, m, &ReplyHandler::OnReply, this,
                              static_cast<uint64_t>(std::chrono::microseconds(timeout).count()));
    sd_bus_message_unref(m);
    if (r < 0) {
        why_ = std::string("the bus refused the call: ") + std::strerror(-r);
        return false;
    }
    pending_ = call;
    // sd-bus times the call out itself; this bound only backs it up.
    deadline_ = now + timeout + 200ms;
    return true;
}

void ModemManagerClient::Done(State state, std::string why)
{
    state_ = state;
    pending_ = Call::None;
    deadline_ = Clock::time_point::max();
    slot_ = sd_bus_slot_unref(slot_);
    if (!why.empty())
        why_ = std::move(why);
}

void ModemManagerClient::Answered(sd_bus_message* reply, Clock::time_point now)
{
    const bool error = sd_bus_message_is_method_error(reply, nullptr) > 0;
    switch (pending_) {
    case Call::Name: {
        int owned = 0;
        if (error || sd_bus_message_read(reply, "b", &owned) < 0)
            Done(State::NotManaged, "the bus did not say whether ModemManager runs: " + ErrorOf(reply));
        else if (!owned)
            Done(State::NotManaged);
        else if (!Send(Call::Modems, kService, kManagerPath, "org.freedesktop.DBus.ObjectManager",
                       "GetManagedObjects", kModemsTimeout, now))
            Done(State::NotManaged);
        break;
    }
    case Call::Modems: {
        std::vector<Modem> modems;
        if (error || !ReadModems(reply, modems)) {
            Done(State::NotManaged, "ModemManager did not list its modems: " + ErrorOf(reply));
            break;
        }
        for (const Modem& modem : modems) {
            for (const std::string& p : modem.ports) {
                if (uid_.empty() && SamePort(p, port_))
                    uid_ = modem.uid;
            }
        }
        if (uid_.empty())
            Done(State::NotManaged);
        else if (!Send(Call::Inhibit, kService, kManagerPath, kService, "InhibitDevice", kInhibitTimeout, now, &uid_, 1))
            Done(State::Refused);
        break;
    }
    case Call::Inhibit:
        if (error)
            Done(State::Refused, ErrorOf(reply));
        else
            Done(State::Inhibited);
        break;
    case Call::Uninhibit:
        Done(State::Released, error ? ErrorOf(reply) : std::string());
        break;
    case Call::None: break;
    }
}

ModemManagerClient::State ModemManagerClient::Process(Clock::time_point now)
{
    if (state_ == State::NotManaged || state_ == State::Refused || state_ == State::Released)
        return state_;
    for (int i = 0; i < kProcessBudget; ++i) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            // The bus has gone, and with it any inhibition of ours.
            const std::string why = std::string("the bus connection was lost: ") + std::strerror(-r);
            if (state_ == State::Asking)
                Done(pending_ == Call::Inhibit ? State::Refused : State::NotManaged, why);
            else
                Done(State::Released, why);
            return state_;
        }
        if (reply_) {
            sd_bus_message* reply = reply_;
            reply_ = nullptr;
            Answered(reply, now);
            sd_bus_message_unref(reply);
        }
        if (r == 0)
            break;
    }
    if (pending_ != Call::None && now >= deadline_) {
        const std::string why = "no answer in time";
        switch (pending_) {
        case Call::Name:
        case Call::Modems: Done(State::NotManaged, "ModemManager gave " + why); break;
        case Call::Inhibit: Done(State::Refused, why); break;
        case Call::Uninhibit: Done(State::Released, why); break;
        case Call::None: break;
        }
    }
    return state_;
}

void ModemManagerClient::Watch(std::vector<pollfd>& fds) const
{
    if (state_ == State::NotManaged || state_ == State::Refused || state_ == State::Released)
        return;
    const int fd = sd_bus_get_fd(bus_);
    const int events = sd_bus_get_events(bus_);
    if (fd >= 0 && events >= 0)
        fds.push_back({fd, static_cast<short>(events), 0});
}

ModemManagerClient::Clock::time_point ModemManagerClient::Next() const
{
    if (state_ == State::NotManaged || state_ == State::Refused || state_ == State::Released)
        return Clock::time_point::max();
    auto next = deadline_;
    uint64_t at = 0;
    if (sd_bus_get_timeout(bus_, &at) >= 0 && at != UINT64_MAX) {
        const uint64_t nowUs = MonotonicUsec();
        next = std::min(next, Clock::now() + std::chrono::microseconds(at > nowUs ? at - nowUs : 0));
    }
    return next;
}

void ModemManagerClient::Uninhibit(Clock::time_point now)
{
    if (state_ != State::Inhibited) {
        if (state_ == State::Asking)
            Done(State::Released); // closing the connection ends whatever is on its way
        return;
    }
    state_ = State::Releasing;
    if (!Send(Call::Uninhibit, kService, kManagerPath, kService, "InhibitDevice", kUninhibitTimeout, now, &uid_, 0))
        Done(State::Released);
}

std::optional<std::vector<std::string>> ModemManagerClient::ManagedPorts(std::chrono::milliseconds timeout)
{
    sd_bus* bus = Connect();
    if (!bus)
        return std::nullopt;
    // One deadline for all of it: sd_bus_call bounds only its own call, and
    // waits for the greeting before it (a bus that accepts and never
    // authenticates would hold us for sd-bus's 90 s).
    const uint64_t deadline = MonotonicUsec() + static_cast<uint64_t>(std::chrono::microseconds(timeout).count());
    auto left = [&]() -> uint64_t {
        const uint64_t now = MonotonicUsec();
        return now < deadline ? deadline - now : 0;
    };
    bool ready = false;
    while (!(ready = sd_bus_is_ready(bus) > 0)) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0 || left() == 0)
            break;
        if (r == 0 && sd_bus_wait(bus, left()) < 0)
            break;
    }
    std::optional<std::vector<std::string>> ports;
    sd_bus_message* m = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int owned = 0;
    if (ready
        && sd_bus_message_new_method_call(bus, &m, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "NameHasOwner") >= 0
        && sd_bus_message_append(m, "s", kService) >= 0 && left() > 0
        && sd_bus_call(bus, m, left(), &error, &reply) >= 0 && sd_bus_message_read(reply, "b", &owned) >= 0 && owned) {
        m = sd_bus_message_unref(m);
        reply = sd_bus_message_unref(reply);
        std::vector<Modem> modems;
        if (sd_bus_message_new_method_call(bus, &m, kService, kManagerPath, "org.freedesktop.DBus.ObjectManager",
                                           "GetManagedObjects") >= 0
            && sd_bus_message_set_auto_start(m, 0) >= 0 && left() > 0
            && sd_bus_call(bus, m, left(), &error, &reply) >= 0 && ReadModems(reply, modems)) {
            ports.emplace();
            for (const Modem& modem : modems)
                ports->insert(ports->end(), modem.ports.begin(), modem.ports.end());
        } else {
            ports.emplace(); // it runs, and lists nothing we could read
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(m);
    sd_bus_message_unref(reply);
    sd_bus_close_unref(bus);
    return ports;
}

} // namespace sp::ras
