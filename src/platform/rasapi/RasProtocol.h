#pragma once

// The framed protocol between the client library, rasctl and the rasman
// daemon over the Unix socket. A frame is a 12-byte header (magic, message
// type, payload length; little-endian 32-bit each) and the payload. Payloads
// are sequences of 32-bit numbers and length-prefixed byte strings.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sp::ras {

inline constexpr uint32_t kFrameMagic = 0x31534152; // "RAS1"
inline constexpr uint32_t kFrameHeaderSize = 12;
inline constexpr uint32_t kMaxPayload = 1u << 20;

enum class Msg : uint32_t {
    Reply = 1,
    Report = 2, // dial state report: state, error
    // The service is alive but not ready yet (still starting): a waiting
    // caller's reply time-out starts again.
    Pending = 3,
    // The dial's reports end here without a final state (it was hung up).
    ReportsEnd = 4,
    // remote access calls
    Ping = 10,
    EnumDevices = 11,
    EnumEntries = 12,
    EnumConnections = 13,
    GetEntry = 14,
    SetEntry = 15,
    DeleteEntry = 16,
    GetDialParams = 17,
    SetDialParams = 18,
    Dial = 19,
    HangUp = 20,
    GetStatus = 21,
    GetStatistics = 22,
    // control (answered even while frozen)
    CtlList = 40,
    CtlDrop = 41,
    CtlTraffic = 42,
    CtlFreeze = 43,
    CtlThaw = 44,
    CtlStop = 45,
    CtlReload = 46,
    // the traffic history (see TrafficHistoryQuery.h)
    CtlHistory = 47,
    CtlHistorySet = 48,
    // a modem's SIM, network and signal, and USSD (see ModemReading.h)
    CtlModem = 49,
    CtlUssd = 50,
    CtlUssdResult = 51,
};

[[nodiscard]] bool IsControl(Msg m);

struct Frame {
    Msg type = Msg::Reply;
    std::string payload;
};

[[nodiscard]] std::string EncodeFrame(Msg type, std::string_view payload);

// Incremental decoder for a byte stream. Malformed input (bad magic, a
// payload over kMaxPayload) puts it in the failed state for good; the peer is
// then told and dropped.
class FrameDecoder {
public:
    void Feed(const char* data, size_t size);
    // The next complete frame, if any.
    [[nodiscard]] std::optional<Frame> Next();
    [[nodiscard]] bool Failed() const { return failed_; }
    [[nodiscard]] size_t Buffered() const { return buffer_.size() - pos_; }

private:
    std::string buffer_;
    size_t pos_ = 0;
    bool failed_ = false;
};

class Writer {
public:
    Writer& U32(uint32_t v);
    Writer& U64(uint64_t v);
    Writer& Str(std::string_view s);
    // A string that may be absent (a NULL pointer on the caller's side).
    Writer& OptStr(const char* s);
    [[nodiscard]] const std::string& Data() const { return data_; }

private:
    std::string data_;
};

// Reads what a Writer wrote; any read past the end or a length beyond the
// remaining bytes sets the failed flag and yields zero or empty values.
class Reader {
public:
    explicit Reader(std::string_view data) : data_(data) {}
    uint32_t U32();
    uint64_t U64();
    std::string Str();
    std::optional<std::string> OptStr();
    [[nodiscard]] bool Failed() const { return failed_; }
    [[nodiscard]] bool AtEnd() const { return pos_ == data_.size(); }

private:
    std::string_view data_;
    size_t pos_ = 0;
    bool failed_ = false;
};

// The service's answer to CtlList, as rasctl shows it and the support report
// reads it: one reader, so both stay in step with the service.
struct ServiceListing {
    struct Device {
        std::string type, name, driver;
    };
    struct Entry {
        std::string name, device, number;
    };
    struct Connection {
        uint32_t handle = 0;
        std::string entry, device;
        uint32_t state = 0, error = 0, rx = 0, tx = 0;
        std::string addresses; // a link's addresses and DNS servers, when it is up
    };
    bool frozen = false;
    std::vector<Device> devices;
    std::vector<Entry> entries;
    std::vector<Connection> connections;
};

// False (and an empty listing) when the answer is malformed.
[[nodiscard]] bool ReadServiceListing(std::string_view payload, ServiceListing& out);

// Blocking helpers on a connected socket; false when the peer is gone.
bool SendFrame(int fd, Msg type, std::string_view payload);
bool RecvFrame(int fd, Frame& out);

// How long a caller waits for the service's answer before it gives up (711).
// A live service answers in well under a millisecond; this only has to be
// longer than any request takes (a registry write may wait 5 s for another
// process, so a busy service still answers in time).
inline constexpr std::chrono::milliseconds kReplyTimeout{8000};

// The same with a deadline: false when the peer is gone or the deadline
// passes first.
bool SendFrame(int fd, Msg type, std::string_view payload, std::chrono::steady_clock::time_point deadline);
bool RecvFrame(int fd, Frame& out, std::chrono::steady_clock::time_point deadline);

// Sends a request and waits for its reply frame: kReplyTimeout from the
// request, renewed by each Pending frame of a service that is still starting.
// Frames other than Pending and Reply are handed back as the reply.
bool Exchange(int fd, Msg type, std::string_view payload, Frame& reply);

// <run dir>/rasman.sock, rasman.pid, rasman.lock
[[nodiscard]] std::string SocketPath();
[[nodiscard]] std::string PidPath();
[[nodiscard]] std::string StartLockPath();

// Connects to the daemon of this machine root; -1 when nobody answers.
// `busy` (when given) tells a daemon that is there but does not take the
// connection in time (stopped, or its queue of new connections full) from
// none at all, so that callers do not try to start a second one.
[[nodiscard]] int ConnectToService(bool* busy = nullptr);

// One control request (rasctl's kind) on a connection of its own, within
// `deadline`: false when the service cannot be reached, does not answer in
// time, or answers with anything but a reply.
[[nodiscard]] bool AskService(Msg type, std::string_view payload, Frame& reply,
                              std::chrono::steady_clock::time_point deadline);

// The same request and its answer's leading result code: Code() is 0 with
// Body() placed after it, the service's own code, 711 when the service does
// not answer in time, or 87 for an answer too short to hold a code.
class ServiceAnswer {
public:
    ServiceAnswer(Msg type, std::string_view payload, std::chrono::steady_clock::time_point deadline);
    ServiceAnswer(const ServiceAnswer&) = delete; // Body() reads the reply in place
    ServiceAnswer& operator=(const ServiceAnswer&) = delete;
    [[nodiscard]] uint32_t Code() const { return code_; }
    [[nodiscard]] Reader& Body() { return body_; }

private:
    Frame reply_;
    Reader body_{std::string_view()};
    uint32_t code_ = 0;
};

} // namespace sp::ras
