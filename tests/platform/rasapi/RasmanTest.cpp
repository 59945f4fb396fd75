// The daemon's parts: the frame decoder under random input, the daemon
// itself under malformed frames, the reading of init strings and the
// phonebook's text form, and rasctl's view of the service.
#include "ServiceFixture.h"

#include "platform/rasapi/RasLibrary.h"
#include "platform/rasapi/RasProtocol.h"
#include "platform/rasman/Devices.h"
#include "platform/rasman/EntryFields.h"
#include "platform/rasman/RasCtl.h"
#include "platform/rasman/ServiceLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry/Registry.h"

#include <atomic>
#include <fstream>
#include <cstring>
#include <thread>
#include <random>
#include <sstream>

namespace {

using namespace sp::ras;

TEST(FrameDecoder, RandomSplitsOfValidFramesDecodeExactly)
{
    std::mt19937 rng(1);
    for (int round = 0; round < 200; ++round) {
        std::vector<Frame> sent;
        std::string stream;
        const int n = 1 + rng() % 20;
        for (int i = 0; i < n; ++i) {
            Frame f;
            f.type = static_cast<Msg>(rng() % 60);
            f.payload.resize(rng() % 3000);
            for (char& c : f.payload)
                c = static_cast<char>(rng());
            stream += EncodeFrame(f.type, f.payload);
            sent.push_back(std::move(f));
        }
        FrameDecoder d;
        std::vector<Frame> got;
        size_t pos = 0;
        while (pos < stream.size()) {
            const size_t chunk = std::min<size_t>(1 + rng() % 700, stream.size() - pos);
            d.Feed(stream.data() + pos, chunk);
            pos += chunk;
            while (auto f = d.Next())
                got.push_back(std::move(*f));
        }
        ASSERT_FALSE(d.Failed());
        ASSERT_EQ(got.size(), sent.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(got[i].type, sent[i].type);
            EXPECT_EQ(got[i].payload, sent[i].payload);
        }
        EXPECT_EQ(d.Buffered(), 0u);
    }
}

TEST(FrameDecoder, RandomBytesNeverCrashAndBadHeadersFailForGood)
{
    std::mt19937 rng(2);
    for (int round = 0; round < 20000; ++round) {
        FrameDecoder d;
        std::string junk(rng() % 64, '\0');
        for (char& c : junk)
            c = static_cast<char>(rng());
        if (rng() % 2)
            junk = EncodeFrame(Msg::Ping, "").substr(0, 4) + junk; // right magic, random rest
        d.Feed(junk.data(), junk.size());
        while (d.Next()) {
        }
    }
    FrameDecoder d;
    std::string big = EncodeFrame(Msg::Ping, "");
    const uint32_t huge = kMaxPayload + 1;
    std::memcpy(big.data() + 8, &huge, 4);
    d.Feed(big.data(), big.size());
    EXPECT_FALSE(d.Next());
    EXPECT_TRUE(d.Failed());
    const std::string good = EncodeFrame(Msg::Ping, "");
    d.Feed(good.data(), good.size());
    EXPECT_FALSE(d.Next());
}

TEST(PayloadReader, ReadsPastTheEndFailInsteadOfOverrunning)
{
    Writer w;
    w.U32(7).Str("abc").OptStr(nullptr);
    Reader r(w.Data());
    EXPECT_EQ(r.U32(), 7u);
    EXPECT_EQ(r.Str(), "abc");
    EXPECT_FALSE(r.OptStr().has_value());
    EXPECT_TRUE(r.AtEnd());
    EXPECT_EQ(r.U32(), 0u);
    EXPECT_TRUE(r.Failed());

    std::string lying = Writer().U32(1000).Data() + "xy"; // a string longer than the rest
    Reader r2(lying);
    EXPECT_EQ(r2.Str(), "");
    EXPECT_TRUE(r2.Failed());
}

TEST(RasLibrary, FoundBesideTheProgramUnlessTheEnvironmentNamesIt)
{
    ::unsetenv(sp::kRasLibraryEnvVar);
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(sp::RasLibraryPath(), exe.parent_path() / "libskyportal-rasapi.so");
    ::setenv(sp::kRasLibraryEnvVar, "/opt/other/librasapi.so", 1);
    EXPECT_EQ(sp::RasLibraryPath(), std::filesystem::path("/opt/other/librasapi.so"));
    ::unsetenv(sp::kRasLibraryEnvVar);
}

TEST(ModemInit, TheApnComesFromTheContextDefinition)
{
    EXPECT_EQ(ApnFromUserInit("AT+CGDCONT=1,\"IP\",\"internet\""), "internet");
    EXPECT_EQ(ApnFromUserInit("at+cgdcont=1,\"IP\",\"wap.example.ru\",\"0.0.0.0\",0,0"), "wap.example.ru");
    EXPECT_EQ(ApnFromUserInit("ATZ;+CGDCONT=1,IP,plain;"), "plain");
    EXPECT_EQ(ApnFromUserInit("AT+CGDCONT=1,\"IP\",\"\""), "");
    EXPECT_EQ(ApnFromUserInit("AT&F"), "");
    EXPECT_EQ(ApnFromUserInit("AT+CGDCONT=1"), "");
    EXPECT_EQ(ApnFromUserInit(""), "");
}

TEST(PhonebookText, AnyBytesSurviveOneIniLine)
{
    for (std::string s : {std::string("plain"), std::string(" lead"), std::string("trail "),
                          std::string("a\nb\r=c\\x41"), std::string("\x01\x7F\xFF", 3)}) {
        const std::string e = EscapeText(s);
        EXPECT_EQ(e.find('\n'), std::string::npos);
        EXPECT_EQ(UnescapeText(e), s);
    }
}

class RasmanDaemonTest : public ServiceFixture {
protected:
    std::string Ctl(std::vector<std::string> args, int expect = 0)
    {
        std::ostringstream out, err;
        EXPECT_EQ(RasCtl(args, out, err), expect) << err.str();
        return out.str();
    }
};

TEST_F(RasmanDaemonTest, MalformedFramesGetAnErrorAndTheDaemonStaysUp)
{
    Ctl({"service", "start"});
    std::mt19937 rng(3);
    for (int round = 0; round < 300; ++round) {
        const int fd = ConnectToService();
        ASSERT_GE(fd, 0) << round;
        std::string bytes;
        switch (round % 3) {
        case 0: { // a well-framed request with a random payload
            std::string payload(rng() % 200, '\0');
            for (char& c : payload)
                c = static_cast<char>(rng());
            bytes = EncodeFrame(static_cast<Msg>(10 + rng() % 14), payload);
            break;
        }
        case 1: // random bytes
            bytes.resize(1 + rng() % 100);
            for (char& c : bytes)
                c = static_cast<char>(rng());
            break;
        default: // a header that lies about its length
            bytes = EncodeFrame(Msg::GetEntry, "");
            bytes[8] = static_cast<char>(0xFF);
            bytes[11] = static_cast<char>(0x7F);
            break;
        }
        ASSERT_TRUE(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) >= 0);
        ::shutdown(fd, SHUT_WR);
        Frame reply;
        if (RecvFrame(fd, reply)) {
            EXPECT_EQ(reply.type, Msg::Reply);
        }
        ::close(fd);
    }
    // Still answering properly.
    DWORD cb = 0, count = 0;
    EXPECT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    const int fd = ConnectToService();
    ASSERT_GE(fd, 0);
    const std::string bad = "garbage that is not a frame";
    ASSERT_TRUE(::send(fd, bad.data(), bad.size(), MSG_NOSIGNAL) > 0);
    Frame reply;
    ASSERT_TRUE(RecvFrame(fd, reply));
    Reader r(reply.payload);
    EXPECT_EQ(r.U32(), ERROR_INVALID_PARAMETER);
    ::close(fd);
}

TEST_F(RasmanDaemonTest, RasctlListsDevicesEntriesAndConnections)
{
    EXPECT_EQ(Ctl({"devices"}), "modem\tUSB GPRS Modem\tsimulated\nmodem\tBluetooth Phone Modem\tsimulated\nvpn\tWAN Miniport (PPTP)\tsimulated\n");
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#"), SUCCESS);
    EXPECT_EQ(Ctl({"entries"}), "Zentora\tUSB GPRS Modem\t*99#\n");
    EXPECT_EQ(Ctl({"connections"}), "");
    SetModemInit("USB GPRS Modem", "AT+CGDCONT=1,\"IP\",\"internet\"");

    RASDIALPARAMSA p{};
    p.dwSize = 1060;
    std::strcpy(p.szEntryName, "Zentora");
    HRASCONN h = 0;
    ASSERT_EQ(RAS(RasDialA)(nullptr, nullptr, &p, 0, nullptr, &h), SUCCESS);
    const std::string line = Ctl({"connections"});
    EXPECT_EQ(line.rfind(std::to_string(h) + "\tZentora\tUSB GPRS Modem\t8192\t", 0), 0u) << line;
    Ctl({"drop", "all"});
    EXPECT_NE(Ctl({"connections"}).find("\t8193/629\t"), std::string::npos);
    Ctl({"drop", "12"}, 1);
    Ctl({"traffic", "x", "1", "2"}, 2);
    Ctl({"bogus"}, 2);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    Ctl({"service", "stop"});
    EXPECT_LT(ConnectToService(), 0);
}

TEST_F(RasmanDaemonTest, ModemsComeFromTheRegistryOfTheEmulatedFamily)
{
    SetVersion(4, 10, false);
    std::ostringstream out, err;
    EXPECT_EQ(Ctl({"devices"}), "modem\tUSB GPRS Modem\tsimulated\nmodem\tBluetooth Phone Modem\tsimulated\nvpn\tWAN Miniport (PPTP)\tsimulated\n");
    {
        // Without \Enum\Root\Modem the 9x family lists \Enum\Root\MDMGEN.
        sp::TRegistry reg;
        reg.SetRootKey(sp::RegHive::LocalMachine);
        ASSERT_TRUE(reg.DeleteKey(k9xModemEnumKey));
        ASSERT_TRUE(reg.OpenKey(std::string(k9xModemEnumKeyAlt) + "\\0000", true));
        reg.WriteString("FriendlyName", "Generic Phone");
        reg.WriteString("Driver", "Modem\\0007");
        ASSERT_TRUE(reg.OpenKey(std::string(k9xDriverClassKey) + "Modem\\0007", true));
        reg.WriteString("UserInit", "AT+CGDCONT=1,\"IP\",\"internet\"");
    }
    EXPECT_EQ(Ctl({"devices"}), "modem\tGeneric Phone\tsimulated\nvpn\tWAN Miniport (PPTP)\tsimulated\n");
    ASSERT_EQ(MakeEntry("G", "Generic Phone", "*99#", 1768), SUCCESS);
    RASDIALPARAMS_1052 p{};
    p.dwSize = 1052;
    std::strcpy(p.szEntryName, "G");
    HRASCONN h = 0;
    EXPECT_EQ(RAS(RasDialA)(nullptr, nullptr, reinterpret_cast<LPRASDIALPARAMSA>(&p), 0, nullptr, &h), SUCCESS);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

HRASCONN g_notified = 0;
std::atomic<int> g_reports{0};

TEST_F(RasmanDaemonTest, NotifierTypeOneGetsTheHandle)
{
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#"), SUCCESS);
    SetModemInit("USB GPRS Modem", "AT+CGDCONT=1,\"IP\",\"internet\"");
    RASDIALPARAMSA p{};
    p.dwSize = 1060;
    std::strcpy(p.szEntryName, "Zentora");
    HRASCONN h = 0;
    RASDIALFUNC1 notify = [](HRASCONN hc, UINT, RASCONNSTATE state, DWORD, DWORD) {
        g_notified = hc;
        if (state == RASCS_Connected)
            g_reports = 1;
    };
    ASSERT_EQ(RAS(RasDialA)(nullptr, nullptr, &p, 1, reinterpret_cast<LPVOID>(notify), &h), SUCCESS);
    for (int i = 0; i < 500 && g_reports == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(g_reports.load(), 1);
    EXPECT_EQ(g_notified, h);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    EXPECT_EQ(RAS(RasDialA)(nullptr, nullptr, &p, 2, reinterpret_cast<LPVOID>(notify), &h), ERROR_INVALID_PARAMETER);
}

// ------------------------------------------------------------------ clients that misbehave

TEST(ServiceWait, TheLastPartOfAMillisecondIsWaitedNotPolled)
{
    using namespace std::chrono;
    const auto now = steady_clock::now();
    EXPECT_EQ(PollTimeoutMs(now, now + microseconds(300)), 1);
    EXPECT_EQ(PollTimeoutMs(now, now + microseconds(1)), 1);
    EXPECT_EQ(PollTimeoutMs(now, now + milliseconds(7) + microseconds(10)), 8);
    EXPECT_EQ(PollTimeoutMs(now, now), 0);
    EXPECT_EQ(PollTimeoutMs(now, now - milliseconds(3)), 0);
    EXPECT_EQ(PollTimeoutMs(now, now + seconds(5)), 200);
}

// The sanitizers keep freed memory in quarantine, so resident memory says
// nothing about what the service holds there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeaningful = false;
#else
constexpr bool kMemoryIsMeaningful = true;
#endif

long RssKiB(int pid)
{
    if (!kMemoryIsMeaningful)
        return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Writes copies of `frame` up to `limit` bytes: as many as the socket takes
// at once, or (patient) until the service has stopped taking more for a
// while. The bytes it took, in whole frames.
size_t Flood(int fd, const std::string& frame, size_t limit, bool patient = true)
{
    std::string batch;
    while (batch.size() < 65536)
        batch += frame;
    size_t sent = 0;
    while (sent < limit) {
        const ssize_t w = ::send(fd, batch.data(), batch.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            sent += static_cast<size_t>(w);
            // keep frames whole: finish a partial batch
            size_t rest = static_cast<size_t>(w) % frame.size();
            if (!patient)
                break; // a cut frame is part of the misbehaviour
            if (rest != 0) {
                const std::string tail = frame.substr(rest);
                size_t off = 0;
                while (off < tail.size()) {
                    pollfd p{fd, POLLOUT, 0};
                    if (::poll(&p, 1, 1000) <= 0)
                        return sent; // the cut frame is not counted
                    const ssize_t t = ::send(fd, tail.data() + off, tail.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (t > 0)
                        off += static_cast<size_t>(t);
                    else if (t < 0 && errno != EAGAIN)
                        return sent;
                }
                sent += tail.size();
            }
            continue;
        }
        if ((w < 0 && errno != EAGAIN) || !patient)
            break;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 500) <= 0)
            break; // the service takes no more from this client
    }
    return sent;
}

TEST_F(RasmanDaemonTest, ClientsThatNeverReadTheirAnswersHoldUpNobody)
{
    Ctl({"service", "start"});
    const std::string ping = EncodeFrame(Msg::Ping, "");
    std::vector<int> hostile;
    for (int i = 0; i < 30; ++i) {
        const int fd = ConnectToService();
        ASSERT_GE(fd, 0);
        Flood(fd, ping, 256 * 1024, false);
        hostile.push_back(fd);
    }
    // Answered within the library's reply time-out, not cut off with 711.
    DWORD cb = 0, count = 0;
    EXPECT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3u);
    EXPECT_NE(Ctl({"devices"}).find("USB GPRS Modem"), std::string::npos);
    EXPECT_LT(RssKiB(DaemonPid()), 64 * 1024);
    for (const int fd : hostile)
        ::close(fd);
}

TEST_F(RasmanDaemonTest, AClientThatTakesNoneOfItsAnswersIsDisconnected)
{
    Ctl({"service", "start"});
    const int fd = ConnectToService();
    ASSERT_GE(fd, 0);
    Flood(fd, EncodeFrame(Msg::Ping, ""), 4 << 20);
    pollfd p{fd, POLLRDHUP, 0};
    const int limit = static_cast<int>(std::chrono::milliseconds(kStalledClientLimit).count()) * 3;
    ASSERT_EQ(::poll(&p, 1, limit), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLRDHUP));
    ::close(fd);
}

TEST_F(RasmanDaemonTest, AFrozenServiceQueuesABoundedNumberOfRequestsAndLosesNone)
{
    Ctl({"service", "start"});
    const long before = RssKiB(DaemonPid());
    Ctl({"service", "freeze"});
    const int fd = ConnectToService();
    ASSERT_GE(fd, 0);
    const std::string ping = EncodeFrame(Msg::Ping, "");
    const size_t offered = 2'000'000 * ping.size();
    const size_t taken = Flood(fd, ping, offered);
    // What the kernel and the service hold together stays small.
    EXPECT_LT(taken, size_t(4) << 20);
    EXPECT_LT(RssKiB(DaemonPid()) - before, 16 * 1024);
    Ctl({"service", "thaw"});
    // Every request the service took is answered, in order.
    const size_t requests = taken / ping.size();
    for (size_t i = 0; i < requests; ++i) {
        Frame reply;
        ASSERT_TRUE(RecvFrame(fd, reply, std::chrono::steady_clock::now() + std::chrono::seconds(10))) << i;
        ASSERT_EQ(reply.type, Msg::Reply);
        Reader r(reply.payload);
        ASSERT_EQ(r.U32(), SUCCESS);
    }
    ::close(fd);
    EXPECT_LT(RssKiB(DaemonPid()) - before, 16 * 1024);
}

// A subscriber's first run in a root that exists already, open to all, under
// the usual umask: what the programs create there is theirs alone from the
// first moment, the store's -wal and -shm files included.
TEST_F(RasmanDaemonTest, WhatTheProgramsCreateInAnOpenRootIsTheirUsersAlone)
{
    namespace fs = std::filesystem;
    StopDaemon();
    for (const auto& e : fs::directory_iterator(root_))
        fs::remove_all(e.path());
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                               | fs::perms::others_read | fs::perms::others_exec);
    const mode_t before = ::umask(022);
    const char* bin = std::getenv("SKYPORTAL_BIN_DIR");
    const std::string rasctl = std::string(bin ? bin : ".") + "/rasctl";
    EXPECT_EQ(std::system((rasctl + " devices >/dev/null").c_str()), 0);
    ::umask(before);
    for (int i = 0; i < 400 && !fs::exists(root_ / "history.db-wal"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::string> open;
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(root_)) {
        struct stat st {};
        if (::lstat(e.path().c_str(), &st) != 0 || S_ISSOCK(st.st_mode))
            continue;
        ++files;
        if ((st.st_mode & 077) != 0)
            open.push_back(fs::relative(e.path(), root_).string());
    }
    for (const char* made : {"network.ini", "registry.db", "registry.db-wal", "history.db", "history.db-wal"})
        EXPECT_TRUE(fs::exists(root_ / made)) << made;
    EXPECT_GT(files, 5u);
    EXPECT_TRUE(open.empty()) << ::testing::PrintToString(open);
}

} // namespace
