#include "NginxServer.h"
#include "ScriptedServer.h"

#include "log/EventLog.h"
#include "platform/base/CommandLine.h"
#include "update/ApnUpdate.h"
#include "update/HttpFetch.h"
#include "update/TCPBlockSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/wait.h>

using namespace sp;
using sptest::TNginxServer;
using sptest::TPeer;
using sptest::TScriptedServer;
namespace fs = std::filesystem;

namespace {

std::string NextAddress() {
    return sptest::NextLoopbackAddress(40, 40);
}

std::string Ok(std::string_view body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::vector<std::string> kDefaultList{"internet"};

// These are the rules of a program without the operator's key (the signed
// lists have their own tests), whatever this machine has installed.
constexpr std::string_view kNoKeys = "/nonexistent/skyportal-keys";
[[maybe_unused]] const int kNoKeysSet = ::setenv("SKYPORTAL_APN_KEYS", kNoKeys.data(), 1);

// Descriptors open in this process, to see that every path releases its socket.
size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// The server handles connections one after another in their order of
// arrival, so once a probe of our own has been answered, every connection
// the update made has been served and its request recorded.
std::vector<std::string> RequestsBeforeProbe(TScriptedServer& server) {
    TTCPBlockSocket probe;
    probe.ConnectTo(server.Address(), "80");
    probe.SendText("PROBE\r\n\r\n");
    (void)probe.ReadChunk(10000);
    probe.Close();
    auto requests = server.Requests();
    EXPECT_FALSE(requests.empty());
    if (!requests.empty()) {
        EXPECT_EQ(requests.back(), "PROBE\r\n\r\n");
        requests.pop_back();
    }
    return requests;
}

struct TUpdated {
    bool ok;
    std::string version;
    std::string message;
    std::vector<std::string> apns;
};

TUpdated Update(std::string_view host, std::string version, bool takeList) {
    TUpdated r{false, std::move(version), "untouched", kDefaultList};
    r.ok = UpdateAPNList(host, r.version, r.apns, r.message, takeList);
    return r;
}

struct TToolRun {
    int status;
    std::string out;
};

TToolRun RunTool(const std::string& args) {
    const char* bin = std::getenv("SKYPORTAL_BIN_DIR");
    const fs::path dir = bin != nullptr ? fs::path(bin) : fs::read_symlink("/proc/self/exe").parent_path();
    std::string command = (dir / "skyportal-update").string() + " " + args + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    TToolRun r{-1, {}};
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0)
        r.out.append(buf, n);
    int status = ::pclose(pipe.release());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The operator's server, as shipped in server/, for the whole suite.
class OperatorServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = std::make_unique<TNginxServer>(NextAddress()); }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        server->Publish("apn/version", "VERSION=1.0.5\n");
        server->Publish("apn/list", "Zentora APN list 5\r\n\r\n  internet.zentora  \r\nwap.zentora\r\n");
        server->Publish("apn/first", "Welcome\n");
    }
    static std::string Host() { return server->Address(); }
    static std::unique_ptr<TNginxServer> server;
};
std::unique_ptr<TNginxServer> OperatorServer::server;

} // namespace

TEST_F(OperatorServer, SameVersionNeedsNoUpdate) {
    auto r = Update(Host(), "1.0.5", true);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.message, "Обновление списка APN не требуется");
    EXPECT_EQ(r.version, "1.0.5");
    EXPECT_EQ(r.apns, kDefaultList);
}

TEST_F(OperatorServer, NewerListIsRequestedButOnlyTakenWhenAsked) {
    auto r = Update(Host(), "1.0.0", false);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.version, "1.0.5");
    EXPECT_EQ(r.message, "untouched");
    EXPECT_EQ(r.apns, kDefaultList);

    r = Update(Host(), "1.0.0", true);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.version, "1.0.5");
    EXPECT_EQ(r.message, "untouched");
    EXPECT_EQ(r.apns, (std::vector<std::string>{"internet.zentora", "wap.zentora"}));
}

TEST_F(OperatorServer, ShippedSampleFilesAreAValidExchange) {
    fs::copy_file(fs::path(SKYPORTAL_SOURCE_DIR) / "server/www/apn/version", server->Prefix() / "www/apn/version",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(fs::path(SKYPORTAL_SOURCE_DIR) / "server/www/apn/list", server->Prefix() / "www/apn/list",
                  fs::copy_options::overwrite_existing);
    auto r = Update(Host(), "1.0.0", true);
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_NE(r.version, "1.0.0");
    EXPECT_FALSE(r.apns.empty());
}

TEST_F(OperatorServer, PublishedListReachesTheProgram) {
    const fs::path listFile = server->Prefix() / "new-list.txt";
    {
        std::FILE* f = std::fopen(listFile.c_str(), "w");
        std::fputs("  internet.new \n\nwap.new\n", f);
        std::fclose(f);
    }
    const std::string publish = std::string(SKYPORTAL_SOURCE_DIR) + "/server/publish-apn-list " +
                                "--unsigned " + (server->Prefix() / "www").string() + " ";
    ASSERT_EQ(std::system((publish + "1.0.6 " + listFile.string() + " >/dev/null").c_str()), 0);
    auto r = Update(Host(), "1.0.5", true);
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.version, "1.0.6");
    EXPECT_EQ(r.apns, (std::vector<std::string>{"internet.new", "wap.new"}));

    // 10 after 6 would never be taken by the program: the script refuses it.
    EXPECT_NE(std::system((publish + "1.0.10 " + listFile.string() + " 2>/dev/null").c_str()), 0);
    r = Update(Host(), "1.0.6", true);
    EXPECT_EQ(r.message, "Обновление списка APN не требуется");

    // Nor does it publish a list the program would refuse.
    std::string many;
    for (int i = 0; i < 101; ++i)
        many += "apn" + std::to_string(i) + "\n";
    for (const std::string& refused : {std::string("internet\ninternet\";ATD0900123456;\"\n"), many}) {
        std::FILE* f = std::fopen(listFile.c_str(), "w");
        std::fputs(refused.c_str(), f);
        std::fclose(f);
        EXPECT_NE(std::system((publish + "1.0.7 " + listFile.string() + " 2>/dev/null").c_str()), 0) << refused;
        r = Update(Host(), "1.0.6", true);
        EXPECT_EQ(r.message, "Обновление списка APN не требуется") << refused;
    }
}

TEST_F(OperatorServer, MissingResourceGivesItsStatus) {
    fs::remove(server->Prefix() / "www/apn/version");
    auto r = Update(Host(), "1.0.0", true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Ошибка при получении обновлений: 404 Not Found");
    EXPECT_EQ(r.version, "1.0.0");

    // The list is gone after the version was announced: the version string
    // already holds the server's value, the list stays.
    server->Publish("apn/version", "VERSION=1.0.6");
    fs::remove(server->Prefix() / "www/apn/list");
    r = Update(Host(), "1.0.0", true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Ошибка при получении обновлений: 404 Not Found");
    EXPECT_EQ(r.version, "1.0.6");
    EXPECT_EQ(r.apns, kDefaultList);
}

TEST_F(OperatorServer, FirstStart) {
    std::string error = "old";
    std::string body = "old";
    ReportFirstStart(Host(), error, body);
    EXPECT_EQ(error, "");
    EXPECT_EQ(body, "Welcome\n");

    fs::remove(server->Prefix() / "www/apn/first");
    ReportFirstStart(Host(), error, body);
    EXPECT_EQ(error, "Ошибка при получении обновлений: 404 Not Found");
    EXPECT_EQ(body, "");
}

TEST_F(OperatorServer, HostFromTheEnvironment) {
    ::setenv("SKYPORTAL_UPDATE_HOST", Host().c_str(), 1);
    EXPECT_EQ(UpdateServerHost(), Host());
    std::string version = "1.0.5";
    std::vector<std::string> apns = kDefaultList;
    std::string message;
    EXPECT_TRUE(UpdateAPNList(version, apns, message, false));
    EXPECT_EQ(message, "Обновление списка APN не требуется");
    std::string error;
    std::string body;
    ReportFirstStart(error, body);
    EXPECT_EQ(body, "Welcome\n");
    ::setenv("SKYPORTAL_UPDATE_HOST", "", 1);
    EXPECT_EQ(UpdateServerHost(), "update.zentora.example");
    ::unsetenv("SKYPORTAL_UPDATE_HOST");
    EXPECT_EQ(UpdateServerHost(), "update.zentora.example");
}

TEST_F(OperatorServer, CommandLineTool) {
    auto r = RunTool("--host " + Host() + " --version 1.0.0 --take-list");
    EXPECT_EQ(r.status, 0);
    const std::string unsigned_ = "signature: not required, no key in " + std::string(kNoKeys) + "\n";
    EXPECT_EQ(r.out, "result: true\nversion: 1.0.5\nmessage: \n" + unsigned_ + "internet.zentora\nwap.zentora\n");

    r = RunTool("--host " + Host() + " --version 1.0.5");
    EXPECT_EQ(r.out, "result: true\nversion: 1.0.5\nmessage: Обновление списка APN не требуется\n" + unsigned_);

    r = RunTool("--host " + Host() + " --version 2.0.0");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "result: false\nversion: 2.0.0\n"
                     "message: Ошибка при получении обновлений: версия приложения отличается от запрошенной\n" +
                         unsigned_);

    r = RunTool("--host " + Host() + " --first");
    EXPECT_EQ(r.out, "body: Welcome\n\n");

    r = RunTool("--fetch http://" + Host() + "/apn/list/");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Zentora APN list 5\r\n\r\n  internet.zentora  \r\nwap.zentora\r\n");

    r = RunTool("--fetch http://" + Host() + "/nothing/");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "404 Not Found\n");

    r = RunTool("--host " + NextAddress() + " --first");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "error: Connection refused\n");

    EXPECT_EQ(RunTool("--first --fetch x").status, 2);

    // A refused list is shown as refused, and not shown.
    server->Publish("apn/list", "Zentora APN list 5\r\ninternet\";ATD0900123456;\"\r\n");
    r = RunTool("--host " + Host() + " --version 1.0.0 --take-list");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "result: false\nversion: 1.0.5\nmessage: Ошибка при получении обновлений: неверный APN в строке 2\n" +
                         unsigned_);
}

// The version check, against a server that answers with a given body and
// serves a list to whoever asks next.
TEST(VersionRules, ComparedAsTextAfterTheLastDot) {
    struct Case {
        std::string local;
        std::string answer;
        bool ok;
        std::string version;
        std::string message;
        bool listRequested;
    } cases[] = {
        {"1.0.0", "VERSION=1.0.0", true, "1.0.0", "Обновление списка APN не требуется", false},
        {"1.0.0", "VERSION=1.0.5", true, "1.0.5", "untouched", true},
        {"1.0.9", "VERSION=1.0.10", true, "1.0.9", "Обновление списка APN не требуется", false},
        {"1.0.10", "VERSION=1.0.9", true, "1.0.9", "untouched", true},
        {"1.0.5", "VERSION=1.0.4", true, "1.0.5", "Обновление списка APN не требуется", false},
        {"1.0.5", "VERSION=1.0.5a", true, "1.0.5a", "untouched", true},
        {"1.0.0", "VERSION=2.0.5", false, "1.0.0",
         "Ошибка при получении обновлений: версия приложения отличается от запрошенной", false},
        {"1.0.0", "VERSION=1.", false, "1.0.0",
         "Ошибка при получении обновлений: версия приложения отличается от запрошенной", false},
        {"1.0.0", "\r\n  version=1.0.7\r\n\r\n\r\n", true, "1.0.7", "untouched", true},
        {"1.0.0", "VERSION =1.0.7", false, "1.0.0", "Ошибка при получении обновлений: неверный формат ответа", false},
        {"1.0.0", "1.0.7", false, "1.0.0", "Ошибка при получении обновлений: неверный формат ответа", false},
        {"1.0.0", "", false, "1.0.0", "Ошибка при получении обновлений: неверный формат ответа", false},
        {"1.0.0", "VER=1.0.7", false, "1.0.0", "Ошибка при получении обновлений: неверный формат ответа", false},
        // The character where the local string has its last dot is not examined.
        {"1.0.0", "VERSION=1.0x7", true, "1.0x7", "untouched", true},
        // The value is everything after the first "=".
        {"1.0.0", "VERSION=1.0.7=b", true, "1.0.7=b", "untouched", true},
        // Without a dot the whole string is the APN version.
        {"3", "VERSION=4", true, "4", "untouched", true},
        {"3", "VERSION=20", true, "3", "Обновление списка APN не требуется", false},
    };
    for (const auto& c : cases) {
        TScriptedServer server(NextAddress(), {[&c](TPeer& peer) {
                                                   peer.ReadRequest();
                                                   peer.Send(Ok(c.answer));
                                                   peer.WaitForClientClose();
                                               },
                                               [](TPeer& peer) {
                                                   peer.ReadRequest();
                                                   peer.Send(Ok("hdr\nnew\n"));
                                                   peer.WaitForClientClose();
                                               }});
        auto r = Update(server.Address(), c.local, false);
        const std::string what = c.local + " / " + c.answer;
        EXPECT_EQ(r.ok, c.ok) << what;
        EXPECT_EQ(r.version, c.version) << what;
        EXPECT_EQ(r.message, c.message) << what;
        EXPECT_EQ(r.apns, kDefaultList) << what;
        const auto requests = RequestsBeforeProbe(server);
        ASSERT_EQ(requests.size(), c.listRequested ? 2u : 1u) << what;
        EXPECT_TRUE(requests[0].starts_with("GET /apn/ HTTP/1.0\r\nHost: " + server.Address() + "\r\n")) << what;
        if (c.listRequested) {
            EXPECT_TRUE(requests[1].starts_with("GET /apn/list/ HTTP/1.0\r\n")) << what;
        }
    }
}

namespace {
TUpdated TakeList(const std::string& body) {
    TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                                               peer.ReadRequest();
                                               peer.Send(Ok("VERSION=1.0.2"));
                                           },
                                           [&body](TPeer& peer) {
                                               peer.ReadRequest();
                                               peer.Send(Ok(body));
                                           }});
    return Update(server.Address(), "1.0.1", true);
}
} // namespace

TEST(ListResponse, LinesTrimmedBlanksDroppedHeadingRemoved) {
    const std::string badFormat = "Ошибка при получении обновлений: неверный формат ответа";
    struct Case {
        std::string body;
        std::vector<std::string> apns; // empty: refused with the message
        std::string message;
    } cases[] = {
        {"\nhdr\n\n internet \nwap", {"internet", "wap"}, ""},
        {"hdr\r\ninternet\rwap\r\n\r\n", {"internet", "wap"}, ""},
        {std::string("hdr\ninternet\n\0wap\n", 18), {"internet"}, ""},
        // A list without any APN would leave nothing to dial with: refused.
        {"hdr\n", {}, badFormat},
        {"\r\n \r\n", {}, badFormat},
        {"", {}, badFormat},
        // Lines are counted as served, the heading and blank lines included.
        {"hdr\n\tinternet\twap \n", {}, "Ошибка при получении обновлений: неверный APN в строке 2"},
    };
    for (const auto& c : cases) {
        auto r = TakeList(c.body);
        EXPECT_EQ(r.ok, !c.apns.empty()) << c.body;
        EXPECT_EQ(r.apns, c.apns.empty() ? kDefaultList : c.apns) << c.body;
        EXPECT_EQ(r.version, "1.0.2") << c.body;
        EXPECT_EQ(r.message, c.apns.empty() ? c.message : "untouched") << c.body;
    }
}

// What the list holds goes into the modem's init string at the next dial:
// one line that is not an APN, or too many APNs, and none of it is taken.
TEST(ListResponse, EveryLineAnApnOrTheListIsRefusedWhole) {
    std::string hundredApns;
    for (int i = 1; i <= 100; ++i)
        hundredApns += "apn" + std::to_string(i) + ".zentora\r\n";
    const std::string longest = std::string(63, 'a') + "." + std::string(36, 'b');
    for (const std::string& list : {std::string("internet\r\n"), std::string("internet.mts.ru\r\n"),
                                    std::string("home-gprs.tele2.ru\r\n"), std::string("3g.net\r\nINTERNET\r\n"),
                                    hundredApns, longest + "\r\n"}) {
        auto r = TakeList("Zentora APN list 2\r\n" + list);
        EXPECT_TRUE(r.ok) << list << r.message;
        EXPECT_EQ(r.apns.size(), static_cast<size_t>(std::count(list.begin(), list.end(), '\n'))) << list;
        EXPECT_EQ(r.apns.front(), list.substr(0, list.find('\r'))) << list;
    }

    const std::string lineThree = "Ошибка при получении обновлений: неверный APN в строке 3";
    for (const std::string& bad :
         {std::string("internet\""), std::string("internet\";ATD0900123456;\""), std::string("internet;+CMGS=1"),
          std::string("inter net"), std::string("inter\x1bnet"), std::string("internet..ru"), std::string(".internet"),
          std::string("internet."), std::string("-internet"), std::string("internet-.ru"), std::string(64, 'a'),
          longest + "b", std::string("интернет")}) {
        auto r = TakeList("Zentora APN list 2\r\n\r\n" + bad + "\r\nwap\r\n");
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_EQ(r.message, lineThree) << bad;
        EXPECT_EQ(r.apns, kDefaultList) << bad;
    }

    auto r = TakeList("Zentora APN list 2\r\n" + hundredApns + "wap\r\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Ошибка при получении обновлений: в списке больше 100 APN");
    EXPECT_EQ(r.apns, kDefaultList);
}

TEST(Failures, TextsAndReleasedSockets) {
    const size_t descriptors = OpenDescriptors();

    auto r = Update("no-such-host.invalid", "1.0.0", true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Host not found");

    r = Update(NextAddress(), "1.0.0", true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Connection refused");

    {
        // The server goes away after announcing a newer version.
        TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                                   peer.ReadRequest();
                                   peer.StopListening();
                                   peer.Send(Ok("VERSION=1.0.3"));
                               }});
        r = Update(server.Address(), "1.0.0", false);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, "Connection refused");
        EXPECT_EQ(r.version, "1.0.3");
    }
    {
        TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                                   peer.ReadRequest();
                                   peer.Send("HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nVERSION=");
                               }});
        r = Update(server.Address(), "1.0.0", false);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, "Ошибка при получении обновлений: Connection reset by peer");
    }
    {
        TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                                   peer.ReadRequest();
                                   peer.Send("HTTP/1.0 503 Service Unavailable\r\n\r\n");
                               }});
        std::string error;
        std::string body = "old";
        ReportFirstStart(server.Address(), error, body);
        EXPECT_EQ(error, "Ошибка при получении обновлений: 503 Service Unavailable");
        EXPECT_EQ(body, "");
    }
    {
        std::string error;
        std::string body = "old";
        ReportFirstStart("no-such-host.invalid", error, body);
        EXPECT_EQ(error, "Host not found");
        EXPECT_EQ(body, "");
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(Failures, AVersionWithControlCharactersOrBlanksIsRefused) {
    for (const std::string& answer :
         {std::string("VERSION=1.0.7\r\nGET /evil HTTP/1.0"), std::string("VERSION=1.0.7\0x", 15),
          std::string("VERSION=1.0.7 8"), std::string("VERSION=1.0.\t7"), std::string("VERSION=1.0.7\x7f")}) {
        TScriptedServer server(NextAddress(), {[answer](TPeer& peer) {
                                   peer.ReadRequest();
                                   peer.Send(Ok(answer));
                                   peer.WaitForClientClose();
                               }});
        auto r = Update(server.Address(), "1.0.0", true);
        EXPECT_FALSE(r.ok) << answer;
        EXPECT_EQ(r.message, "Ошибка при получении обновлений: неверный формат ответа") << answer;
        EXPECT_EQ(r.version, "1.0.0") << answer;
        EXPECT_EQ(r.apns, kDefaultList) << answer;
        EXPECT_EQ(RequestsBeforeProbe(server).size(), 1u) << answer;
    }
}

TEST(Failures, AChunkedOrResetListKeepsTheOldOne) {
    const std::vector<TScriptedServer::Script> lists = {
        [](TPeer& peer) {
            peer.ReadRequest();
            peer.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n11\r\nhdr\ninternet.new\n\r\n0\r\n\r\n");
            peer.WaitForClientClose();
        },
        [](TPeer& peer) {
            peer.ReadRequest();
            peer.SendSeparately("HTTP/1.0 200 OK\r\n\r\nhdr\ninternet.new\ninte");
            peer.Reset();
        },
    };
    const std::string texts[] = {"Ошибка при получении обновлений: Chunked response body (not HTTP/1.0)",
                                 "Ошибка при получении обновлений: Connection reset by peer"};
    for (size_t i = 0; i < lists.size(); ++i) {
        TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                                                   peer.ReadRequest();
                                                   peer.Send(Ok("VERSION=1.0.7"));
                                                   peer.WaitForClientClose();
                                               },
                                               lists[i]});
        auto r = Update(server.Address(), "1.0.0", true);
        EXPECT_FALSE(r.ok) << i;
        EXPECT_EQ(r.message, texts[i]);
        EXPECT_EQ(r.apns, kDefaultList) << i;
    }
}

TEST(FirstStart, BodyIsTakenAsReceived) {
    TScriptedServer server(NextAddress(), {[](TPeer& peer) {
                               peer.ReadRequest();
                               peer.Send("HTTP/1.0 200 OK\r\n\r\n  first start noted \r\n");
                           }});
    std::string error = "old";
    std::string body;
    ReportFirstStart(server.Address(), error, body);
    EXPECT_EQ(error, "");
    EXPECT_EQ(body, "  first start noted \r\n");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_TRUE(server.Requests()[0].starts_with("GET /apn/first/ HTTP/1.0\r\n"));
}

// The body goes into the log as the first-start line: a forged line of the
// program's own, or a body of 16 MiB, must not get there.
TEST(FirstStart, AHostileBodyMakesOneBoundedLogLine) {
    const std::string forged = "Welcome\x1b[2J\r\n12:00:00 : src: RAS-Dial      code: 0         msg: all well\r\n";
    const std::string huge(kMaxBodyLength - forged.size() - 6, 'x');
    for (const std::string& sent : {forged, "first\t" + huge + forged}) {
        TScriptedServer server(NextAddress(), {[&sent](TPeer& peer) {
                                   peer.ReadRequest();
                                   peer.Send(Ok(sent));
                               }});
        std::string error;
        std::string body;
        ReportFirstStart(server.Address(), error, body);
        ASSERT_EQ(body, sent);

        char tmpl[] = "/tmp/sp-first-XXXXXX";
        const fs::path folder = ::mkdtemp(tmpl);
        SetLogFolder(folder);
        SetCommandLine(std::vector<std::string>{"skyportal", "/l", "/n"});
        WriteLog("FIRST_START", 0, body);
        SetCommandLine(std::vector<std::string>{"skyportal"});
        SetLogFolder({});

        std::ifstream in(folder / "GPRSlog.log", std::ios::binary);
        const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fs::remove_all(folder);
        const std::string head = " : src: FIRST_START      code: 0         msg: ";
        ASSERT_GT(log.size(), 8 + head.size() + 2);
        EXPECT_EQ(log.substr(8, head.size()), head);
        const std::string text = log.substr(8 + head.size(), log.size() - 8 - head.size() - 2);
        EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
        if (sent == forged)
            EXPECT_EQ(text, "Welcome [2J");
        else
            EXPECT_EQ(text, "first " + std::string(994, 'x'));
    }
}
