#include "platform/rasman/SerialDialogue.h"

#include "platform/base/IniFile.h"
#include "platform/rasapi/ras.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace sp::ras {

namespace {

std::string Upper(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::toupper(c); });
    return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

} // namespace

void LineSplitter::Feed(std::string_view bytes)
{
    if (next_ > 0) {
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(next_));
        next_ = 0;
    }
    for (const char ch : bytes) {
        if (ch == '\r' || ch == '\n') {
            if (!skipping_ && !partial_.empty())
                lines_.push_back(std::move(partial_));
            partial_.clear();
            skipping_ = false;
            continue;
        }
        if (ch == '\0' || skipping_)
            continue;
        if (partial_.size() >= kMaxLine) {
            partial_.clear();
            skipping_ = true;
            continue;
        }
        partial_ += ch;
    }
    // Lines not taken are bounded too: a flood of short lines keeps the newest.
    constexpr size_t kMaxLines = 64;
    if (lines_.size() > kMaxLines)
        lines_.erase(lines_.begin(), lines_.end() - kMaxLines);
}

std::optional<std::string> LineSplitter::Next()
{
    if (next_ >= lines_.size())
        return std::nullopt;
    return std::move(lines_[next_++]);
}

ModemReply ClassifyModemLine(std::string_view line, uint32_t* bps)
{
    const std::string u = Upper(TrimSpace(line));
    if (u == "OK" || u == "0")
        return ModemReply::Ok;
    if (u == "CONNECT" || u == "1" || StartsWith(u, "CONNECT ") || StartsWith(u, "CONNECT/")) {
        if (bps != nullptr && u.size() > 8) {
            uint32_t v = 0;
            size_t i = 8;
            for (; i < u.size() && std::isdigit(static_cast<unsigned char>(u[i])) && v < 100000000; ++i)
                v = v * 10 + static_cast<uint32_t>(u[i] - '0');
            if (v > 0)
                *bps = v;
        }
        return ModemReply::Connect;
    }
    if (u == "RING" || u == "2")
        return ModemReply::Ring;
    if (u == "NO CARRIER" || u == "3")
        return ModemReply::NoCarrier;
    if (u == "ERROR" || u == "4" || StartsWith(u, "+CME ERROR") || StartsWith(u, "+CMS ERROR"))
        return ModemReply::Error;
    if (u == "NO DIALTONE" || u == "NO DIAL TONE" || u == "6")
        return ModemReply::NoDialtone;
    if (u == "BUSY" || u == "7")
        return ModemReply::Busy;
    if (u == "NO ANSWER" || u == "8")
        return ModemReply::NoAnswer;
    return ModemReply::None;
}

uint32_t DialReplyError(ModemReply reply)
{
    switch (reply) {
    case ModemReply::NoCarrier: return ERROR_NO_CARRIER;
    case ModemReply::Busy: return ERROR_LINE_BUSY;
    case ModemReply::NoDialtone: return ERROR_NO_DIALTONE;
    case ModemReply::NoAnswer: return ERROR_NO_ANSWER;
    default: return ERROR_FROM_DEVICE;
    }
}

std::string InitCommand(std::string_view userInit)
{
    const auto control = std::find_if(userInit.begin(), userInit.end(),
                                      [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    const std::string_view init = TrimSpace(userInit.substr(0, static_cast<size_t>(control - userInit.begin())));
    if (init.empty())
        return {};
    if (Upper(init.substr(0, 2)) == "AT")
        return std::string(init);
    return "AT" + std::string(init);
}

bool DialableNumber(std::string_view number)
{
    if (TrimSpace(number).empty())
        return false;
    return std::all_of(number.begin(), number.end(), [](unsigned char c) {
        return std::isdigit(c) || std::strchr("*#+,;!@WwPpTt -()", c) != nullptr;
    });
}

namespace {

// An IPv4 address as pppd prints it, else empty: nothing else reaches a log
// line or rasctl's listing.
std::string Address(std::string_view text)
{
    const std::string word(TrimSpace(text));
    in_addr a{};
    if (word.size() > 15 || ::inet_pton(AF_INET, word.c_str(), &a) != 1)
        return {};
    return word;
}

// "Script /etc/ppp/ip-up started (pid 7)", "... finished (pid 7), status = 0x0"
PppdEvent IpUpScript(std::string_view line)
{
    if (!StartsWith(line, "Script "))
        return PppdEvent::None;
    line.remove_prefix(7);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return PppdEvent::None;
    const std::string_view path = line.substr(0, blank);
    const std::string_view rest = line.substr(blank + 1);
    const size_t slash = path.rfind('/');
    if (path.substr(slash == std::string_view::npos ? 0 : slash + 1) != "ip-up")
        return PppdEvent::None;
    if (StartsWith(rest, "started"))
        return PppdEvent::IpUpStarted;
    if (StartsWith(rest, "finished"))
        return PppdEvent::IpUpFinished;
    return PppdEvent::None;
}

} // namespace

PppdLine ClassifyPppdLine(std::string_view raw)
{
    const std::string_view line = TrimSpace(raw);
    if (StartsWith(line, "Using interface ")) {
        std::string_view name = TrimSpace(line.substr(16));
        // an interface name is a plain word; anything else is not taken as a path
        const bool plain = !name.empty() && name.size() < 16
            && std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '-'; });
        if (plain)
            return {PppdEvent::Interface, std::string(name)};
        return {};
    }
    if (StartsWith(line, "sent [") || StartsWith(line, "rcvd ["))
        return {PppdEvent::Packet, {}};
    if (line.find("authentication succeeded") != std::string_view::npos)
        return {PppdEvent::AuthSucceeded, {}};
    if (line.find("authentication failed") != std::string_view::npos)
        return {PppdEvent::AuthFailed, {}};
    if (StartsWith(line, "local  IP address") || StartsWith(line, "local IP address"))
        return {PppdEvent::IpUp, Address(line.substr(line.find("address") + 7))};
    if (StartsWith(line, "remote IP address"))
        return {PppdEvent::RemoteIp, Address(line.substr(17))};
    if ((StartsWith(line, "primary") || StartsWith(line, "secondary")) && line.find(" DNS address ") != std::string_view::npos) {
        std::string dns = Address(line.substr(line.find(" DNS address ") + 13));
        if (!dns.empty())
            return {PppdEvent::Dns, std::move(dns)};
        return {};
    }
    if (const PppdEvent script = IpUpScript(line); script != PppdEvent::None)
        return {script, {}};
    if (line.find("lacks kernel support for PPP") != std::string_view::npos
        || line.find("/dev/ppp device") != std::string_view::npos)
        return {PppdEvent::NoKernelSupport, {}};
    if (line == "Modem hangup")
        return {PppdEvent::Hangup, {}};
    return {};
}

std::optional<int> PppdPrivilegedOption(std::string_view word)
{
    struct Option {
        std::string_view name;
        int words;
    };
    // As Debian 12's pppd 2.4.9 refuses them from a caller who is not root.
    static constexpr Option kPrivileged[] = {
        {"noauth", 0},          {"plugin", 1},         {"replacedefaultroute", 0}, {"defaultroute-metric", 1},
        {"ip-up-script", 1},    {"ip-down-script", 1}, {"nolock", 0},              {"ifname", 1},
        {"linkname", 1},        {"name", 1},           {"domain", 1},              {"privgroup", 1},
        {"allow-ip", 1},        {"allow-number", 1},   {"enable-session", 0},
    };
    for (const Option& o : kPrivileged) {
        if (word == o.name)
            return o.words;
    }
    return std::nullopt;
}

PppdCommand PppdCommandLine(const SerialModem& m, const DialRequest& req, bool root)
{
    PppdCommand c;
    std::vector<std::string>& a = c.args;
    a.push_back(m.pppd);
    if (!root) {
        // First, so that the plugin is loaded before its passwordfd option comes.
        const std::string_view peer = req.defaultRoute ? kPeerDefaultRoute : kPeer;
        a.insert(a.end(), {"call", std::string(peer)});
        c.peersFile = std::string(kPeersFolder) + "/" + std::string(peer);
    }
    // debug: pppd then says when its ip-up script has finished (the DNS in place)
    a.insert(a.end(), {"nodetach", "logfd", "2", "debug", std::to_string(m.speed), m.hardwareFlow ? "crtscts" : "nocrtscts",
                       "noipdefault", "ipcp-accept-local", "ipcp-accept-remote", "lcp-echo-interval", "30",
                       "lcp-echo-failure", "4", "ipparam", std::string(kPeer)});
    if (root) {
        a.insert(a.end(), {"noauth", "usepeerdns"});
        if (req.defaultRoute)
            a.insert(a.end(), {"defaultroute", "replacedefaultroute"});
    }
    if (!req.user.empty()) {
        // the password goes through a pipe, never on the command line
        a.insert(a.end(), {"user", req.user});
        if (root)
            a.insert(a.end(), {"plugin", "passwordfd.so"});
        a.insert(a.end(), {"passwordfd", "3"});
    }
    for (size_t i = 0; i < m.pppdOptions.size(); ++i) {
        const std::string& o = m.pppdOptions[i];
        const std::optional<int> words = root ? std::nullopt : PppdPrivilegedOption(o);
        if (!words) {
            a.push_back(o);
            continue;
        }
        std::string left = o;
        for (int w = 0; w < *words && i + 1 < m.pppdOptions.size(); ++w)
            left += " " + m.pppdOptions[++i];
        c.leftOut.push_back(std::move(left));
    }
    return c;
}

uint32_t PppdExitError(int exitCode, bool up)
{
    if (up)
        return exitCode == 15 ? ERROR_PPP_TIMEOUT : ERROR_REMOTE_DISCONNECTION;
    switch (exitCode) {
    case 10: return ERROR_PPP_LCP_TERMINATED; // negotiation failed, as the platform reports it
    case 11:
    case 19: return ERROR_AUTHENTICATION_FAILURE;
    case 15: return ERROR_PPP_TIMEOUT;
    case 16: return ERROR_REMOTE_DISCONNECTION;
    default: return ERROR_PPP_NO_PROTOCOLS_CONFIGURED; // pppd could not run: no ppp, options, rights
    }
}

std::string PppdExitText(int exitCode)
{
    switch (exitCode) {
    case 0: return "ended";
    case 1: return "fatal error";
    case 2: return "options refused";
    case 3: return "not allowed to run (it needs root rights or its setuid bit)";
    case 4: return "this kernel has no ppp support (no /dev/ppp)";
    case 5: return "ended by a signal";
    case 6: return "the port could not be locked";
    case 7: return "the port could not be opened";
    case 10: return "ppp negotiation failed";
    case 11: return "the peer did not authenticate";
    case 15: return "the peer stopped answering";
    case 16: return "the modem hung up";
    case 19: return "authentication refused";
    case 127: return "pppd could not be started (is the ppp package installed?)";
    default: return "exit status " + std::to_string(exitCode);
    }
}

std::optional<InterfaceCounters> ReadInterfaceCounters(const std::filesystem::path& netDir, std::string_view name)
{
    if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..")
        return std::nullopt;
    const std::filesystem::path stats = netDir / std::string(name) / "statistics";
    auto read = [&](const char* file) -> std::optional<uint64_t> {
        std::ifstream in(stats / file);
        uint64_t v = 0;
        if (!(in >> v))
            return std::nullopt;
        return v;
    };
    const auto rx = read("rx_bytes");
    const auto tx = read("tx_bytes");
    if (!rx || !tx)
        return std::nullopt;
    return InterfaceCounters{*rx, *tx};
}

uint32_t PortOpenError(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return ERROR_PORT_NOT_FOUND;
    default: return ERROR_PORT_NOT_AVAILABLE; // busy, no rights, not a port
    }
}

} // namespace sp::ras
