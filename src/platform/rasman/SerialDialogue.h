#pragma once

#include "platform/rasman/Link.h"
#include "platform/rasman/NetworkConfig.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sp::ras {

// Splits what a line brings into lines. A line longer than the bound is cut
// off and the rest of it skipped, so a device that never ends its line
// cannot make the service hold more than the bound.
class LineSplitter {
public:
    static constexpr size_t kMaxLine = 512;
    void Feed(std::string_view bytes);
    // The next complete, non-empty line (without its end), if any.
    [[nodiscard]] std::optional<std::string> Next();
    // Bytes so far of a line not yet ended.
    [[nodiscard]] size_t Pending() const { return partial_.size(); }

private:
    std::string partial_;
    bool skipping_ = false; // the current line passed the bound
    std::vector<std::string> lines_;
    size_t next_ = 0;
};

// What a modem's line says, as far as the dial cares.
enum class ModemReply { None, Ok, Connect, Ring, NoCarrier, Error, NoDialtone, Busy, NoAnswer };

// The final result code of a line, verbose or numeric ("+CME ERROR: 30" is an
// error); None for echoes, information and junk. For CONNECT, `bps` gets the
// speed it names, when it names one.
[[nodiscard]] ModemReply ClassifyModemLine(std::string_view line, uint32_t* bps = nullptr);

// The platform's error code for a failed dial answer.
[[nodiscard]] uint32_t DialReplyError(ModemReply reply);

// The command that programs the modem from its init string: sent as it is
// when it starts with AT, else with AT in front, up to its first control
// character (one command line only); empty when there is nothing.
[[nodiscard]] std::string InitCommand(std::string_view userInit);

// Whether a number may follow ATD: dial characters only (digits, * # + , ;
// ! @ W P T, blanks, - and parentheses), so no text can end the command line
// and slip another command to the modem.
[[nodiscard]] bool DialableNumber(std::string_view number);

// What a line of pppd's log tells the dial.
enum class PppdEvent {
    None,
    Interface,
    AuthSucceeded,
    AuthFailed,
    IpUp,        // the local address
    RemoteIp,
    Dns,         // a DNS server the peer gave (usepeerdns)
    IpUpStarted, // pppd's ip-up script (and Debian's hooks through it)
    IpUpFinished,
    NoKernelSupport,
    Hangup,
    Packet // a negotiation packet (pppd's debug), not worth a log line
};
struct PppdLine {
    PppdEvent event = PppdEvent::None;
    std::string value; // the interface's name, or the address (IPv4, checked)
};
[[nodiscard]] PppdLine ClassifyPppdLine(std::string_view line);

// The peers files the package installs under /etc/ppp/peers: the options
// pppd takes only from root or from such a file. The second one adds the
// default route that replaces the machine's own while the link is up.
inline constexpr std::string_view kPeersFolder = "/etc/ppp/peers";
inline constexpr std::string_view kPeer = "skyportal";
inline constexpr std::string_view kPeerDefaultRoute = "skyportal-defaultroute";

// pppd 2.4.9's options that it refuses from a caller who is not root ("using
// the ... option requires root privilege"): the number of words that follow
// the option, or nothing when the option is not one of them.
[[nodiscard]] std::optional<int> PppdPrivilegedOption(std::string_view word);

// pppd's command line for a dial. Not as root, pppd's privileged options come
// from the package's peers file (`call`), and configured options that pppd
// would refuse are left out; as root they are on the command line.
struct PppdCommand {
    std::vector<std::string> args;    // pppd's path first
    std::string peersFile;            // the file pppd reads through `call`; empty as root
    std::vector<std::string> leftOut; // configured options left out, with their words
};
[[nodiscard]] PppdCommand PppdCommandLine(const SerialModem& modem, const DialRequest& request, bool root);

// The platform's error code for pppd's exit status (its documented codes);
// `up` tells whether the link had come up.
[[nodiscard]] uint32_t PppdExitError(int exitCode, bool up);
[[nodiscard]] std::string PppdExitText(int exitCode);

// The byte counters of a network interface from <netDir>/<name>/statistics.
struct InterfaceCounters {
    uint64_t rx = 0;
    uint64_t tx = 0;
};
[[nodiscard]] std::optional<InterfaceCounters> ReadInterfaceCounters(const std::filesystem::path& netDir,
                                                                     std::string_view name);

// The platform's error code for a port that could not be opened (errno).
[[nodiscard]] uint32_t PortOpenError(int error);

} // namespace sp::ras
