#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sp {

// A blocking stream socket with a receive buffer and line reading, the
// part of a socket the HTTP fetch needs. Error codes use the Windows
// Sockets numbering (update/SocketErrors.h); every operation sets
// ErrorCode() and ErrorText(), 0 and "" on success. One thread at a time.
class TBlockSocket {
public:
    // Longest line ReadLine hands out; a longer one fails with WSAEMSGSIZE,
    // so a peer that never ends its line cannot exhaust memory.
    static constexpr size_t kMaxLineLength = 65536;

    TBlockSocket();
    virtual ~TBlockSocket();
    TBlockSocket(const TBlockSocket&) = delete;
    TBlockSocket& operator=(const TBlockSocket&) = delete;

    // On: a line ends at the earliest CR LF, LF CR, lone CR or lone LF.
    // Off: only at CR LF.
    void SetConvertLineEnd(bool on) { FConvertLineEnd = on; }
    // Operating-system buffer sizes, applied when the connection is made;
    // 0 keeps the system's default.
    void SetSizeRecvBuffer(int bytes) { FSizeRecvBuffer = bytes; }
    void SetSizeSendBuffer(int bytes) { FSizeSendBuffer = bytes; }

    // Local address for the next connection; "0.0.0.0" and "0" leave both
    // to the system.
    void Bind(std::string_view ip, std::string_view port);

    void SendText(std::string_view text);

    // The next line without its terminator. The time-out applies to each
    // wait for more data, not to the line as a whole.
    [[nodiscard]] std::string ReadLine(int timeoutMs);

    // What is buffered, else what arrives within the time-out. A closed
    // connection gives "" and WSAECONNRESET, silence WSAETIMEDOUT.
    [[nodiscard]] std::string ReadChunk(int timeoutMs);

    // An end for every wait from now on, whatever the time-out of each
    // (none: only the time-outs count). A wait cut short by it fails with
    // WSAETIMEDOUT and DeadlinePassed().
    void SetDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) { FDeadline = deadline; }
    [[nodiscard]] bool DeadlinePassed() const { return FDeadlinePassed; }

    // After a WSAECONNRESET of a read: true when the peer closed in order
    // (end of stream), false when the connection was really reset.
    [[nodiscard]] bool ClosedByPeer() const { return FClosedByPeer; }

    [[nodiscard]] int ErrorCode() const { return FLastError; }
    [[nodiscard]] const std::string& ErrorText() const { return FLastErrorDesc; }

    // Shuts down sending, discards pending input, closes; error back to 0.
    void Close();

    // Called with the bytes of every reception, on the receiving thread.
    // Lets a test's server wait until the client has taken what it sent.
    static void SetReceiveHookForTests(std::function<void(std::string_view)> hook);

protected:
    void SetError(int code);

    int FSocket = -1;
    int FSizeRecvBuffer = 0;
    int FSizeSendBuffer = 0;
    std::string FBindIp = "0.0.0.0";
    std::string FBindPort = "0";

private:
    // Waits up to timeoutMs for data and appends it to FBuffer; false with
    // the error set when nothing came.
    bool Receive(int timeoutMs);

    bool FConvertLineEnd = false;
    std::optional<std::chrono::steady_clock::time_point> FDeadline;
    bool FDeadlinePassed = false;
    bool FClosedByPeer = false;
    int FLastError = 0;
    std::string FLastErrorDesc;
    std::string FBuffer;
    // The other half of a two-byte line end whose first byte ended the data
    // so far; dropped if it is the next byte to arrive.
    char FPendingTerminator = 0;
};

} // namespace sp
