#include "update/HttpFetch.h"

#include "update/SocketErrors.h"
#include "update/TCPBlockSocket.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>

namespace sp {

namespace {
std::atomic<int> gFetchTimeoutMs{kFetchTimeoutMs};
std::atomic<int> gFetchDeadlineMs{kFetchDeadlineMs};

constexpr int kSocketBufferSize = 65536;

std::string UpperAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return r;
}

// The part of the URL after "//", or the whole URL without one.
std::string_view AfterScheme(std::string_view url) {
    size_t p = url.find("//");
    return p == std::string_view::npos ? url : url.substr(p + 2);
}

// An integer as a header states it: optional sign and decimal digits that
// fit 32 bits, else 0.
int32_t ParseLength(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    int32_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || text.empty())
        return 0;
    return value;
}

std::string ReadError(const TBlockSocket& socket) {
    if (socket.DeadlinePassed())
        return std::string(kDeadlineText);
    return socket.ErrorCode() == WSAEMSGSIZE ? std::string(kLineTooLongText) : socket.ErrorText();
}

bool ReadFailed(TBlockSocket& socket, std::string& error) {
    if (socket.ErrorCode() == 0)
        return false;
    error = ReadError(socket);
    return true;
}

// The deadline holds for one answer only.
struct TDeadlineScope {
    explicit TDeadlineScope(TBlockSocket& s) : socket(s) {
        socket.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(FetchDeadlineMs()));
    }
    ~TDeadlineScope() { socket.SetDeadline(std::nullopt); }
    TBlockSocket& socket;
};
} // namespace

void SetFetchTimeoutForTests(int ms) {
    gFetchTimeoutMs = ms > 0 ? ms : kFetchTimeoutMs;
}

int FetchTimeoutMs() {
    return gFetchTimeoutMs;
}

void SetFetchDeadlineForTests(int ms) {
    gFetchDeadlineMs = ms > 0 ? ms : kFetchDeadlineMs;
}

int FetchDeadlineMs() {
    return gFetchDeadlineMs;
}

std::string HostFromUrl(std::string_view url) {
    std::string_view rest = AfterScheme(url);
    return std::string(rest.substr(0, rest.find('/')));
}

std::string BuildGetRequest(std::string_view url) {
    std::string_view rest = AfterScheme(url);
    size_t slash = rest.find('/');
    std::string_view host = rest.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    std::string r;
    r.append("GET ").append(path).append(" HTTP/1.0\r\n");
    r.append("Host: ").append(host).append("\r\n");
    r.append("User-Agent: Mozilla/4.0 (compatible)\r\n");
    r.append("Connection: Keep-Alive\r\n");
    r.append("Cache-Control: no-cache\r\n");
    r.append("\r\n");
    return r;
}

bool SendRequest(TBlockSocket& socket, std::string_view request, std::string& error) {
    socket.SendText(request);
    if (socket.ErrorCode() != 0) {
        error = socket.ErrorText();
        return false;
    }
    error.clear();
    return true;
}

bool ReadResponse(TBlockSocket& socket, std::string& body, std::string& error, size_t maxBody) {
    const int timeout = FetchTimeoutMs();
    TDeadlineScope deadline(socket);

    std::string status = socket.ReadLine(timeout);
    if (ReadFailed(socket, error))
        return false;
    std::string upper = UpperAscii(status);
    if (upper.size() < 2 || upper.compare(upper.size() - 2, 2, "OK") != 0) {
        size_t blank = status.find(' ');
        error = blank == std::string::npos ? status : status.substr(blank + 1);
        if (error.find_first_not_of(" \t") == std::string::npos)
            error = kBadStatusText;
        return false;
    }

    int32_t declared = -1;
    for (;;) {
        std::string line = socket.ReadLine(timeout);
        if (ReadFailed(socket, error))
            return false;
        if (line.empty())
            break;
        const std::string upperLine = UpperAscii(line);
        if (upperLine.starts_with("TRANSFER-ENCODING:") && upperLine.find("CHUNKED") != std::string::npos) {
            error = kChunkedText;
            return false;
        }
        if (upperLine.starts_with("CONTENT-LENGTH:")) {
            size_t blank = line.rfind(' ');
            declared = ParseLength(blank == std::string::npos ? std::string_view(line)
                                                              : std::string_view(line).substr(blank + 1));
        }
    }

    // Nothing to wait for when the server says the body is empty.
    if (declared != -1 && declared <= 0)
        return true;

    size_t received = 0;
    for (;;) {
        std::string chunk = socket.ReadChunk(timeout);
        if (socket.ErrorCode() != 0) {
            if (declared == -1 && socket.ErrorCode() == WSAECONNRESET && socket.ClosedByPeer())
                return true;
            error = ReadError(socket);
            return false;
        }
        if (chunk.empty())
            return true;
        size_t take = chunk.size();
        if (declared != -1 && received + take > static_cast<size_t>(declared))
            take = static_cast<size_t>(declared) - received;
        if (received + take > maxBody) {
            error = "Response body longer than " + std::to_string(maxBody) + " bytes";
            return false;
        }
        body.append(chunk, 0, take);
        received += take;
        if (declared != -1 && received >= static_cast<size_t>(declared))
            return true;
    }
}

TFetchFailure FetchUrl(std::string_view url, std::string& body, std::string& error) {
    body.clear();
    TTCPBlockSocket socket;
    socket.SetConvertLineEnd(true);
    socket.SetSizeRecvBuffer(kSocketBufferSize);
    socket.SetSizeSendBuffer(kSocketBufferSize);
    socket.Bind("0.0.0.0", "0");
    socket.ConnectTo(HostFromUrl(url), "80");
    if (socket.ErrorCode() != 0) {
        error = socket.ErrorText();
        return TFetchFailure::Connect;
    }
    if (!SendRequest(socket, BuildGetRequest(url), error))
        return TFetchFailure::Send;
    if (!ReadResponse(socket, body, error)) {
        body.clear();
        return TFetchFailure::Receive;
    }
    error.clear();
    return TFetchFailure::None;
}

} // namespace sp
