#include "ScriptedServer.h"

#include "update/HttpFetch.h"
#include "update/SocketErrors.h"
#include "update/TCPBlockSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <netdb.h>
#include <thread>

using namespace sp;
using sptest::TPeer;
using sptest::TScriptedServer;

namespace {

std::string NextAddress() {
    return sptest::NextLoopbackAddress(10, 30);
}

// Restores the normal wait after a test that shortened it.
struct TTimeoutGuard {
    explicit TTimeoutGuard(int ms) { SetFetchTimeoutForTests(ms); }
    ~TTimeoutGuard() { SetFetchTimeoutForTests(0); }
};

struct TDeadlineGuard {
    explicit TDeadlineGuard(int ms) { SetFetchDeadlineForTests(ms); }
    ~TDeadlineGuard() { SetFetchDeadlineForTests(0); }
};

struct TFetched {
    bool ok = false;
    std::string body;
    std::string error;
};

// The calling order of the update: connect, send, read, close.
TFetched Fetch(const TScriptedServer& server, std::string_view path = "/apn/") {
    TTCPBlockSocket socket;
    socket.SetConvertLineEnd(true);
    socket.SetSizeRecvBuffer(65536);
    socket.SetSizeSendBuffer(65536);
    socket.Bind("0.0.0.0", "0");
    socket.ConnectTo(server.Address(), "80");
    EXPECT_EQ(socket.ErrorCode(), 0) << socket.ErrorText();
    TFetched r;
    EXPECT_TRUE(SendRequest(socket, BuildGetRequest(server.Url(path)), r.error));
    r.ok = ReadResponse(socket, r.body, r.error);
    socket.Close();
    return r;
}

// A server that answers every request with these bytes and then closes.
TScriptedServer Answering(std::string response) {
    return TScriptedServer(NextAddress(), {[response](TPeer& peer) {
                               peer.ReadRequest();
                               peer.Send(response);
                           }});
}

// Answers with these bytes and keeps the connection open until the client closes.
TScriptedServer AnsweringThenSilent(std::string response) {
    return TScriptedServer(NextAddress(), {[response](TPeer& peer) {
                               peer.ReadRequest();
                               peer.Send(response);
                               peer.WaitForClientClose();
                           }});
}

} // namespace

TEST(SocketErrors, TextsOfTheFixedTable) {
    EXPECT_EQ(GetErrorDesc(0), "");
    EXPECT_EQ(GetErrorDesc(10004), "Interrupted system call");
    EXPECT_EQ(GetErrorDesc(10035), "Operation would block");
    EXPECT_EQ(GetErrorDesc(10054), "Connection reset by peer");
    EXPECT_EQ(GetErrorDesc(10055), "No Buffer space available");
    EXPECT_EQ(GetErrorDesc(10059), "Too many references:can't splice");
    EXPECT_EQ(GetErrorDesc(10060), "Connection timed out");
    EXPECT_EQ(GetErrorDesc(10061), "Connection refused");
    EXPECT_EQ(GetErrorDesc(10092), "Winsock DLL cannot support this application");
    EXPECT_EQ(GetErrorDesc(10101), "Disconnect");
    EXPECT_EQ(GetErrorDesc(11001), "Host not found");
    EXPECT_EQ(GetErrorDesc(11002), "Non authoritative - host not found");
    EXPECT_EQ(GetErrorDesc(11004), "Valid name, no data record of requested type");
    EXPECT_EQ(GetErrorDesc(10072), "Other Winsock error (10072)");
    EXPECT_EQ(GetErrorDesc(-1), "Other Winsock error (-1)");
}

TEST(SocketErrors, SystemErrorsMapOntoWindowsSocketsNumbers) {
    EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), WSAECONNREFUSED);
    EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), WSAETIMEDOUT);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), WSAECONNRESET);
    EXPECT_EQ(WinsockErrorFromErrno(EPIPE), WSAECONNRESET);
    EXPECT_EQ(WinsockErrorFromErrno(ENETUNREACH), WSAENETUNREACH);
    EXPECT_EQ(WinsockErrorFromErrno(EHOSTUNREACH), WSAEHOSTUNREACH);
    EXPECT_EQ(WinsockErrorFromErrno(EADDRINUSE), WSAEADDRINUSE);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_NONAME, 0), WSAHOST_NOT_FOUND);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_AGAIN, 0), WSATRY_AGAIN);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_FAIL, 0), WSANO_RECOVERY);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_SYSTEM, EMFILE), WSAEMFILE);
}

TEST(Request, HostAndTheSixLines) {
    EXPECT_EQ(HostFromUrl("http://update.zentora.example/apn/list/"), "update.zentora.example");
    EXPECT_EQ(HostFromUrl("http://10.0.0.1/"), "10.0.0.1");
    EXPECT_EQ(BuildGetRequest("http://update.zentora.example/apn/list/"),
              "GET /apn/list/ HTTP/1.0\r\n"
              "Host: update.zentora.example\r\n"
              "User-Agent: Mozilla/4.0 (compatible)\r\n"
              "Connection: Keep-Alive\r\n"
              "Cache-Control: no-cache\r\n"
              "\r\n");
    // The port is never taken from the URL: it stays part of the host text.
    EXPECT_EQ(HostFromUrl("http://h:8080/apn/"), "h:8080");
}

TEST(Request, ReachesTheServerExactlyAsBuilt) {
    auto server = Answering("HTTP/1.0 200 OK\r\n\r\nx");
    auto r = Fetch(server, "/apn/first/");
    EXPECT_TRUE(r.ok) << r.error;
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], BuildGetRequest(server.Url("/apn/first/")));
}

TEST(Connect, RefusedAndUnresolvable) {
    TTCPBlockSocket socket;
    socket.ConnectTo(NextAddress(), "80"); // nobody listens there
    EXPECT_EQ(socket.ErrorCode(), WSAECONNREFUSED);
    EXPECT_EQ(socket.ErrorText(), "Connection refused");
    socket.ConnectTo("no-such-host.invalid", "80");
    EXPECT_EQ(socket.ErrorCode(), WSAHOST_NOT_FOUND);
    EXPECT_EQ(socket.ErrorText(), "Host not found");
    socket.Close();
    EXPECT_EQ(socket.ErrorCode(), 0);
    EXPECT_EQ(socket.ErrorText(), "");
}

TEST(Connect, FromAChosenLocalAddress) {
    auto server = Answering("HTTP/1.0 200 OK\r\n\r\nfrom anywhere");
    TTCPBlockSocket socket;
    socket.Bind("127.0.0.9", "0");
    socket.ConnectTo(server.Address(), "80");
    ASSERT_EQ(socket.ErrorCode(), 0) << socket.ErrorText();
    std::string body;
    std::string error;
    EXPECT_TRUE(SendRequest(socket, "GET / HTTP/1.0\r\n\r\n", error));
    EXPECT_TRUE(ReadResponse(socket, body, error)) << error;
    EXPECT_EQ(body, "from anywhere");
    socket.Bind("127.0.0.300", "0");
    socket.ConnectTo(server.Address(), "80");
    EXPECT_NE(socket.ErrorCode(), 0);
}

TEST(Connect, SendWithoutConnectionFails) {
    TTCPBlockSocket socket;
    std::string error;
    EXPECT_FALSE(SendRequest(socket, "GET / HTTP/1.0\r\n\r\n", error));
    EXPECT_EQ(error, "Socket is not connected");
}

TEST(StatusLine, OnlyTheReasonPhraseDecides) {
    struct Case {
        std::string status;
        bool ok;
        std::string error;
    } cases[] = {
        {"HTTP/1.1 200 OK", true, ""},
        {"HTTP/1.0 200 Ok", true, ""},
        {"HTTP/1.0 500 not ok", true, ""},
        {"HTTP/1.0 302 Found", false, "302 Found"},
        {"HTTP/1.0 404 Not Found", false, "404 Not Found"},
        {"garbage", false, "garbage"},
        {"K", false, "K"},
        {"", false, "Malformed response status line"}, // was an empty error text
    };
    for (const auto& c : cases) {
        auto server = Answering(c.status + "\r\nContent-Length: 4\r\n\r\nbody");
        auto r = Fetch(server);
        EXPECT_EQ(r.ok, c.ok) << c.status;
        EXPECT_EQ(r.error, c.error) << c.status;
        if (c.ok) {
            EXPECT_EQ(r.body, "body") << c.status;
        }
    }
}

TEST(Body, DeclaredLengthAndTheServersClose) {
    struct Case {
        const char* what;
        std::string response;
        bool ok;
        std::string body;
        std::string error;
    } cases[] = {
        {"length shorter than the body", "HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n01234567890123456789", true,
         "012345678901", ""},
        {"no length, close ends the body", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nall of it", true, "all of it", ""},
        {"no length, close before any body", "HTTP/1.0 200 OK\r\n\r\n", true, "", ""},
        {"early close with a length", "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly this", false, "only this",
         "Connection reset by peer"},
        {"close before the empty line", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n", false, "",
         "Connection reset by peer"},
        {"close before the status line ends", "HTTP/1.0 200", false, "", "Connection reset by peer"},
        {"lower-case length header", "HTTP/1.0 200 OK\r\ncontent-length: 3\r\n\r\nabcdef", true, "abc", ""},
        {"length header after a blank is ignored", "HTTP/1.0 200 OK\r\n Content-Length: 3\r\n\r\nabcdef", true,
         "abcdef", ""},
        {"length without a blank declares 0", "HTTP/1.0 200 OK\r\nContent-Length:7\r\n\r\nabcdef", true, "", ""},
        {"length that is not a number declares 0", "HTTP/1.0 200 OK\r\nContent-Length: 1x\r\n\r\nabc", true, "", ""},
        {"the last length header counts", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nabc",
         true, "ab", ""},
        {"LF-only lines", "HTTP/1.0 200 OK\nContent-Length: 5\n\nhello world", true, "hello", ""},
        {"CR-only lines", "HTTP/1.0 200 OK\rContent-Length: 5\r\rhello world", true, "hello", ""},
        {"body keeps its own line ends and bytes", std::string("HTTP/1.0 200 OK\r\n\r\n\r\na\0\xff\n", 25), true,
         std::string("\r\na\0\xff\n", 6), ""},
    };
    for (const auto& c : cases) {
        auto server = Answering(c.response);
        auto r = Fetch(server);
        EXPECT_EQ(r.ok, c.ok) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_EQ(r.body, c.body) << c.what;
    }
}

TEST(Body, DeclaredLengthZeroDoesNotWait) {
    // The server stays connected and silent: waiting for a chunk would fail.
    TTimeoutGuard shortWait(10000);
    auto server = AnsweringThenSilent("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    const auto start = std::chrono::steady_clock::now();
    auto r = Fetch(server);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Body, HeadersAndBodyInOnePacketOrTricklingIn) {
    const std::string response = "HTTP/1.0 200 OK\r\nContent-Length: 10\r\nX: y\r\n\r\n0123456789";
    {
        auto server = Answering(response);
        auto r = Fetch(server);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.body, "0123456789");
    }
    for (const std::string& form : {response, std::string("HTTP/1.0 200 OK\nContent-Length: 3\n\nabc"),
                                    std::string("HTTP/1.0 200 OK\n\r\n\rabc")}) {
        // One byte per reception: lines and two-byte line ends split anywhere.
        TScriptedServer server(NextAddress(), {[form](TPeer& peer) {
                                   peer.ReadRequest();
                                   for (char c : form)
                                       peer.SendSeparately(std::string_view(&c, 1));
                               }});
        auto r = Fetch(server);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.body, form == response ? "0123456789" : "abc") << form;
    }
}

TEST(Body, SilenceTimesOutAndSlowDataDoesNot) {
    TTimeoutGuard shortWait(300);
    for (const std::string& sent : {std::string(""), std::string("HTTP/1.0 200 OK\r\n"),
                                    std::string("HTTP/1.0 200 OK\r\nContent-"),
                                    std::string("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n1234")}) {
        auto server = AnsweringThenSilent(sent);
        auto r = Fetch(server);
        EXPECT_FALSE(r.ok) << sent;
        EXPECT_EQ(r.error, "Connection timed out") << sent;
    }
    // The wait applies to each piece, not to the line or the body as a whole.
    TTimeoutGuard longerWait(1500);
    TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                               peer.ReadRequest();
                               peer.Send("HTTP/1.0 200 OK\r\nX-Slow: ");
                               for (int i = 0; i < 8; ++i) {
                                   std::this_thread::sleep_for(std::chrono::milliseconds(300));
                                   peer.Send(i == 7 ? "\r\n\r\nend" : "x");
                               }
                           }});
    auto r = Fetch(server);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "end");
}

TEST(Body, AResetIsAnErrorEvenWithoutADeclaredLength) {
    for (const std::string& head : {std::string("HTTP/1.0 200 OK\r\n\r\n"),
                                    std::string("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n")}) {
        TScriptedServer server(NextAddress(), {[head](TPeer& peer) {
                                   peer.ReadRequest();
                                   peer.SendSeparately(head + "internet\ninte");
                                   peer.Reset();
                               }});
        auto r = Fetch(server);
        EXPECT_FALSE(r.ok) << head;
        EXPECT_EQ(r.error, "Connection reset by peer") << head;
    }
}

TEST(Limits, TheWholeAnswerHasADeadline) {
    TTimeoutGuard silence(2000);
    TDeadlineGuard whole(1000);
    // Never silent for long, never done: endless header lines, then a
    // trickling body.
    for (const bool inBody : {false, true}) {
        std::atomic<bool> stop{false};
        TScriptedServer server(NextAddress(), {[&stop, inBody](TPeer& peer) {
                                   peer.ReadRequest();
                                   peer.Send(inBody ? "HTTP/1.0 200 OK\r\n\r\n" : "HTTP/1.0 200 OK\r\n");
                                   // bounded, so that a client without a deadline ends too
                                   for (int i = 0; i < 100 && !stop; ++i) {
                                       std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                       peer.Send(inBody ? "x" : "X-More: y\r\n");
                                   }
                                   peer.Send("\r\n\r\n");
                               }});
        auto r = Fetch(server);
        stop = true;
        EXPECT_FALSE(r.ok) << inBody;
        EXPECT_EQ(r.error, "Response not complete within 60 seconds") << inBody;
    }
}

TEST(Status, ARefusalWithoutAReasonStillSaysWhatWentWrong) {
    // Before, these failed with an empty error text.
    for (const std::string& status : {std::string("HTTP/1.0 \r\n"), std::string("HTTP/1.0  \t\r\n")}) {
        auto server = Answering(status + "\r\ninternet\n");
        auto r = Fetch(server);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "Malformed response status line");
    }
    auto server = Answering("HTTP/1.0 404 Not Found\r\n\r\n");
    EXPECT_EQ(Fetch(server).error, "404 Not Found");
}

TEST(Body, AChunkedAnswerIsAProtocolError) {
    for (const std::string& header : {std::string("Transfer-Encoding: chunked"),
                                      std::string("transfer-encoding: gzip, CHUNKED")}) {
        auto server = Answering("HTTP/1.1 200 OK\r\n" + header + "\r\n\r\n9\r\ninternet\n\r\n0\r\n\r\n");
        auto r = Fetch(server);
        EXPECT_FALSE(r.ok) << header;
        EXPECT_EQ(r.error, "Chunked response body (not HTTP/1.0)") << header;
        EXPECT_EQ(r.body, "") << header;
    }
}

TEST(Limits, HeaderLineAndBodyAreBounded) {
    const std::string longest(TBlockSocket::kMaxLineLength - 3, 'a');
    {
        auto server = Answering("HTTP/1.0 200 OK\r\nX: " + longest + "\r\n\r\nfits");
        auto r = Fetch(server);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.body, "fits");
    }
    for (const std::string& end : {std::string("\r\n\r\nbody"), std::string("")}) {
        // One byte over the limit, with a line end after it or none at all.
        auto server = AnsweringThenSilent("HTTP/1.0 200 OK\r\nX: " + longest + "a" + end);
        auto r = Fetch(server);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "Header line longer than 65536 bytes");
    }
    {
        auto server = AnsweringThenSilent(std::string(TBlockSocket::kMaxLineLength + 10, 'H'));
        auto r = Fetch(server);
        EXPECT_EQ(r.error, "Header line longer than 65536 bytes");
    }
    const std::string big(kMaxBodyLength, 'b');
    {
        auto server = Answering("HTTP/1.0 200 OK\r\n\r\n" + big);
        auto r = Fetch(server);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.body.size(), kMaxBodyLength);
    }
    for (const std::string& header : {std::string(""), "Content-Length: " + std::to_string(kMaxBodyLength + 1) + "\r\n"}) {
        auto server = AnsweringThenSilent("HTTP/1.0 200 OK\r\n" + header + "\r\n" + big + "b");
        auto r = Fetch(server);
        EXPECT_FALSE(r.ok) << header;
        EXPECT_EQ(r.error, "Response body longer than 16777216 bytes") << header;
    }
}

TEST(BlockSocket, LineEndsAndChunks) {
    TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                               peer.ReadRequest();
                               peer.SendSeparately("a\r\nb\nc\rd\n\re\r");
                               peer.SendSeparately("\nf\n");
                               peer.SendSeparately("\n");
                               peer.SendSeparately("g\r\n\r\nrest");
                               peer.Send("X\r\nY\r\r\n");
                               peer.WaitForClientClose();
                           }});
    TTCPBlockSocket socket;
    socket.SetConvertLineEnd(true);
    socket.ConnectTo(server.Address(), "80");
    socket.SendText("ping\r\n\r\n");
    for (const char* expected : {"a", "b", "c", "d", "e", "f", "", "g", ""})
        EXPECT_EQ(socket.ReadLine(5000), expected);
    EXPECT_EQ(socket.ReadChunk(5000), "rest");
    EXPECT_EQ(socket.ErrorCode(), 0);
    // Without conversion only CR LF ends a line.
    socket.SetConvertLineEnd(false);
    EXPECT_EQ(socket.ReadLine(5000), "X");
    EXPECT_EQ(socket.ReadLine(5000), "Y\r");
    EXPECT_EQ(socket.ReadChunk(100), "");
    EXPECT_EQ(socket.ErrorCode(), WSAETIMEDOUT);
    socket.Close();
    EXPECT_EQ(socket.ErrorCode(), 0);
    EXPECT_EQ(socket.ReadChunk(100), "");
    EXPECT_EQ(socket.ErrorCode(), WSAENOTCONN);
}

TEST(BlockSocket, ReconnectsAfterCloseAndDiscardsWhatWasPending) {
    TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                                               peer.ReadRequest();
                                               peer.SendSeparately("first\r\nunread\r\n");
                                               peer.WaitForClientClose();
                                           },
                                           [](TPeer& peer) {
                                               peer.ReadRequest();
                                               peer.Send("second\r\n");
                                               peer.WaitForClientClose();
                                           }});
    TTCPBlockSocket socket;
    socket.SetConvertLineEnd(true);
    socket.ConnectTo(server.Address(), "80");
    socket.SendText("1\r\n\r\n");
    EXPECT_EQ(socket.ReadLine(5000), "first");
    socket.Close();
    socket.ConnectTo(server.Address(), "80");
    ASSERT_EQ(socket.ErrorCode(), 0);
    socket.SendText("2\r\n\r\n");
    EXPECT_EQ(socket.ReadLine(5000), "second");
    EXPECT_EQ(server.Connections(), 2);
}
