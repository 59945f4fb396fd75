#include "update/ApnUpdate.h"

#include "update/Apn.h"
#include "update/HttpFetch.h"
#include "update/TCPBlockSocket.h"

#include <cstdlib>
#include <stdexcept>

namespace sp {

namespace {
constexpr int kSocketBufferSize = 65536;
constexpr std::string_view kPort = "80";

// A failure inside an operation, carrying the text for the message.
class TUpdateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(std::string_view text) {
    throw TUpdateError(std::string(text));
}

std::string Concat(std::string_view a, std::string_view b) {
    std::string r(a);
    r.append(b);
    return r;
}

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string UpperAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return r;
}

std::string Url(std::string_view host, std::string_view path) {
    std::string r = "http://";
    r.append(host).append(path);
    return r;
}

void PrepareSocket(TTCPBlockSocket& socket) {
    socket.SetConvertLineEnd(true);
    socket.SetSizeRecvBuffer(kSocketBufferSize);
    socket.SetSizeSendBuffer(kSocketBufferSize);
    socket.Bind("0.0.0.0", "0");
}

// Connects and sends the GET for the URL; a failure throws its text.
void Request(TTCPBlockSocket& socket, const std::string& url) {
    socket.ConnectTo(HostFromUrl(url), kPort);
    if (socket.ErrorCode() != 0)
        Fail(socket.ErrorText());
    std::string error;
    if (!SendRequest(socket, BuildGetRequest(url), error))
        Fail(Concat(kRequestFailedPrefix, error));
}

void Receive(TTCPBlockSocket& socket, std::string& body) {
    body.clear();
    std::string error;
    if (!ReadResponse(socket, body, error))
        Fail(Concat(kReceiveFailedPrefix, error));
}

// The list's signature, from the resource beside it, under the same rules
// and a bound of its own.
std::string ReceiveSignature(TTCPBlockSocket& socket) {
    std::string signature;
    std::string error;
    if (!ReadResponse(socket, signature, error, kMaxSignatureLength))
        Fail(Concat(kReceiveFailedPrefix, Concat(kSignatureFetchPrefix, error)));
    return signature;
}

std::string BadApnLineText(size_t line) {
    return std::string(kBadApnLinePrefix) + std::to_string(line);
}

// Lines end at CR LF, CR or LF; a zero byte ends the text. Blank lines go,
// the rest are trimmed, and the first line (the list's heading) is dropped.
// The list goes into the modem's init string at the next dial: one line that
// is not an APN, or more APNs than a dial can try, and the list is refused
// whole, so a subscriber never dials with half of what the operator meant.
std::vector<std::string> ParseApnList(std::string_view body) {
    body = body.substr(0, body.find('\0'));
    std::vector<std::string> apns;
    bool heading = false;
    for (size_t number = 1; !body.empty(); ++number) {
        size_t end = body.find_first_of("\r\n");
        std::string_view line = Trim(body.substr(0, end));
        if (!line.empty()) {
            if (!heading) {
                heading = true;
            } else if (!IsApn(line)) {
                Fail(BadApnLineText(number));
            } else if (apns.size() == kMaxApnCount) {
                Fail(kTooManyApnsText);
            } else {
                apns.emplace_back(line);
            }
        }
        if (end == std::string_view::npos)
            break;
        size_t next = end + 1;
        if (body[end] == '\r' && next < body.size() && body[next] == '\n')
            ++next;
        body.remove_prefix(next);
    }
    // A list without an APN would leave the dialer nothing to try.
    if (apns.empty())
        Fail(kBadFormatText);
    return apns;
}
} // namespace

std::string UpdateServerHost() {
    const char* env = std::getenv("SKYPORTAL_UPDATE_HOST");
    if (env != nullptr && *env != '\0')
        return env;
    return std::string(kDefaultUpdateHost);
}

bool UpdateAPNList(std::string& version, std::vector<std::string>& apns, std::string& message, bool takeList) {
    return UpdateAPNList(UpdateServerHost(), version, apns, message, takeList);
}

bool UpdateAPNList(std::string_view host, std::string& version, std::vector<std::string>& apns,
                   std::string& message, bool takeList) {
    return UpdateAPNList(host, version, apns, message, takeList, LoadListKeys(ListKeysFolder()));
}

bool UpdateAPNList(std::string_view host, std::string& version, std::vector<std::string>& apns,
                   std::string& message, bool takeList, const TListKeys& keys) {
    // The program version is everything before the last ".", the APN list
    // version everything after it.
    const size_t dot = version.rfind('.');
    const size_t programLength = dot == std::string::npos ? 0 : dot;
    const size_t apnStart = dot == std::string::npos ? 0 : dot + 1;
    const std::string localProgram = version.substr(0, programLength);
    const std::string localApn = version.substr(apnStart);

    try {
        TTCPBlockSocket socket;
        PrepareSocket(socket);
        std::string body;

        Request(socket, Url(host, kApnVersionPath));
        Receive(socket, body);

        std::string_view answer = Trim(body);
        size_t eq = answer.find('=');
        std::string_view key = eq == std::string_view::npos ? std::string_view() : answer.substr(0, eq);
        if (UpperAscii(key) != "VERSION")
            Fail(kBadFormatText);
        std::string_view value = answer.substr(eq + 1);
        // The version goes back to the server in the next request line and
        // into the settings: control characters and blanks have no place in it.
        for (const char c : value) {
            if (IsBlank(c) || c == '\x7F')
                Fail(kBadFormatText);
        }
        if (value.substr(0, programLength) != localProgram)
            Fail(kOtherProgramVersionText);
        // The character where the local string has its last "." is not looked at.
        std::string_view serverApn = apnStart < value.size() ? value.substr(apnStart) : std::string_view();
        if (serverApn <= std::string_view(localApn)) {
            message = kNoUpdateNeededText;
            socket.Close();
            return true;
        }
        version = value;

        socket.Close();
        Request(socket, Url(host, kApnListPath));
        if (keys.Signed()) {
            // A version is taken only with the list the operator signed for it.
            Receive(socket, body);
            if (!keys.error.empty())
                Fail(Concat(kReceiveFailedPrefix, keys.error));
            socket.Close();
            Request(socket, Url(host, kApnListSignaturePath));
            const std::string signature = ReceiveSignature(socket);
            const std::string refused = CheckListSignature(body, signature, keys.keys, version, ListClockNow());
            if (!refused.empty())
                Fail(Concat(kReceiveFailedPrefix, refused));
            std::vector<std::string> list = ParseApnList(body);
            if (takeList)
                apns = std::move(list);
        } else if (takeList) {
            Receive(socket, body);
            apns = ParseApnList(body);
        }
        // Closing discards a list response that was not read.
        socket.Close();
        return true;
    } catch (const std::exception& e) {
        message = e.what();
        return false;
    }
}

void ReportFirstStart(std::string& error, std::string& body) {
    ReportFirstStart(UpdateServerHost(), error, body);
}

void ReportFirstStart(std::string_view host, std::string& error, std::string& body) {
    body.clear();
    error.clear();
    try {
        TTCPBlockSocket socket;
        PrepareSocket(socket);
        std::string received;
        Request(socket, Url(host, kFirstStartPath));
        Receive(socket, received);
        socket.Close();
        body = std::move(received);
    } catch (const std::exception& e) {
        error = e.what();
    }
}

} // namespace sp
