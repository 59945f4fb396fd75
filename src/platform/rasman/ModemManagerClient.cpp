#include "platform/rasman/ModemManagerClient.h"

#include "platform/rasman/ModemManagerBus.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cstdlib>
#include <cstring>

namespace sp::ras {

namespace {

using namespace std::chrono_literals;
using namespace mmbus;

constexpr const char* kSystemBus = "unix:path=/run/dbus/system_bus_socket";

// The bus answers its own calls at once; ModemManager may first have to
// disable a modem before it lets go of it.
constexpr auto kNameTimeout = 1000ms;
constexpr auto kModemsTimeout = 3000ms;
constexpr auto kInhibitTimeout = 5000ms;
constexpr auto kUninhibitTimeout = 3000ms;

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

ModemManagerClient::ModemManagerClient(sd_bus* bus, std::string port)
    : bus_(bus), port_(std::move(port)), call_(std::make_unique<mmbus::Call>())
{
}

ModemManagerClient::~ModemManagerClient()
{
    call_.reset(); // its slot before the bus
    sd_bus_close_unref(bus_);
}

bool ModemManagerClient::Send(Call call, const char* destination, const char* path, const char* interface,
                              const char* member, std::chrono::milliseconds timeout, Clock::time_point now,
                              const std::string* uid, int inhibit)
{
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, destination, path, interface, member);
    if (r >= 0) {
        if (call == Call::Name)
            r = sd_bus_message_append(m, "s", kService);
        else if (uid)
            r = sd_bus_message_append(m, "sb", uid->c_str(), inhibit);
    }
    const bool sent = r >= 0 && call_->Send(bus_, m, timeout, now, why_);
    if (r < 0)
        why_ = std::string("the bus refused the call: ") + std::strerror(-r);
    sd_bus_message_unref(m);
    if (!sent)
        return false;
    pending_ = call;
    return true;
}

void ModemManagerClient::Done(State state, std::string why)
{
    state_ = state;
    pending_ = Call::None;
    call_->Forget();
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
    if (const int r = Pump(bus_, *call_, [&](sd_bus_message* reply) { Answered(reply, now); }); r < 0) {
        // The bus has gone, and with it any inhibition of ours.
        const std::string why = std::string("the bus connection was lost: ") + std::strerror(-r);
        if (state_ == State::Asking)
            Done(pending_ == Call::Inhibit ? State::Refused : State::NotManaged, why);
        else
            Done(State::Released, why);
        return state_;
    }
    if (pending_ != Call::None && call_->Late(now)) {
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
    mmbus::Watch(bus_, fds);
}

ModemManagerClient::Clock::time_point ModemManagerClient::Next() const
{
    if (state_ == State::NotManaged || state_ == State::Refused || state_ == State::Released)
        return Clock::time_point::max();
    return mmbus::Next(bus_, call_->Deadline());
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
