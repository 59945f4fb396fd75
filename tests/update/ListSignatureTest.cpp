// Signed APN lists against the operator's nginx from server/, signed by
// minisign itself.
#include "NginxServer.h"
#include "ScriptedServer.h"

#include "update/ApnUpdate.h"
#include "update/ListSignature.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/wait.h>

using namespace sp;
using sptest::TNginxServer;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kOldList{"internet"};
const std::string kList = "Zentora APN list 6\r\ninternet.zentora\r\nwap.zentora\r\n";
const std::vector<std::string> kTaken{"internet.zentora", "wap.zentora"};
const fs::path kServer = fs::path(SKYPORTAL_SOURCE_DIR) / "server";
// The project's example operator key, shipped as the package's default.
const fs::path kExampleKey = kServer / "keys/example-operator.key";

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& p, std::string_view text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(text.data(), std::streamsize(text.size()));
}

struct TRun {
    int status;
    std::string out;
};

TRun Shell(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
    TRun r{-1, {}};
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0)
        r.out.append(buf, n);
    const int status = ::pclose(pipe.release());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Comment(std::string_view version, std::string_view expires = "2099-01-01T00:00:00Z") {
    return "skyportal-apn-list version=" + std::string(version) + " expires=" + std::string(expires);
}

class SignedList : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::system("command -v minisign >/dev/null") != 0)
            return;
        char tmpl[] = "/tmp/sp-sig-XXXXXX";
        folder = ::mkdtemp(tmpl);
        // Another operator's key, and a folder that holds it beside the
        // example key, as during a rotation.
        ASSERT_EQ(Shell("minisign -G -W -p " + (folder / "other.pub").string() + " -s " +
                      (folder / "other.key").string())
                      .status,
                  0);
        fs::create_directories(folder / "rotation");
        fs::copy_file(folder / "other.pub", folder / "rotation/apn-list.pub");
        fs::copy_file(kServer / "keys/apn-list.pub", folder / "rotation/apn-list-2.pub");
        server = std::make_unique<TNginxServer>(sptest::NextLoopbackAddress(100, 10));
    }
    static void TearDownTestSuite() {
        server.reset();
        if (!folder.empty())
            fs::remove_all(folder);
    }
    void SetUp() override {
        if (!server)
            GTEST_SKIP() << "minisign is not installed";
        Serve("VERSION=1.0.6\r\n", kList, Sign(kList, Comment("1.0.6")));
    }
    void TearDown() override { SetListClockForTests(std::nullopt); }

    static std::string Sign(std::string_view list, const std::string& comment, const fs::path& key = kExampleKey,
                            std::string_view options = "") {
        WriteAll(folder / "signed", list);
        fs::remove(folder / "signed.minisig");
        const TRun r = Shell("minisign -S " + std::string(options) + " -s " + key.string() + " -m " +
                           (folder / "signed").string() + " -t '" + comment + "'");
        EXPECT_EQ(r.status, 0) << r.out;
        return ReadAll(folder / "signed.minisig");
    }
    static void Serve(std::string_view version, std::string_view list, std::optional<std::string> signature) {
        server->Publish("apn/list", list);
        if (signature)
            server->Publish("apn/list.minisig", *signature);
        else
            fs::remove(server->Prefix() / "www/apn/list.minisig");
        server->Publish("apn/version", version);
    }

    struct TOutcome {
        bool ok;
        std::string version;
        std::string message;
        std::vector<std::string> apns;
    };
    static TOutcome Update(const TListKeys& keys, std::string version = "1.0.5", bool takeList = true) {
        TOutcome r{false, std::move(version), "", kOldList};
        r.ok = UpdateAPNList(server->Address(), r.version, r.apns, r.message, takeList, keys);
        return r;
    }
    static TListKeys ExampleKey() { return LoadListKeys(kServer / "keys"); }

    static fs::path folder;
    static std::unique_ptr<TNginxServer> server;
};
fs::path SignedList::folder;
std::unique_ptr<TNginxServer> SignedList::server;

} // namespace

TEST_F(SignedList, AGoodSignatureIsTakenWithEitherKey) {
    ASSERT_EQ(ExampleKey().keys.size(), 1u);
    auto r = Update(ExampleKey());
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.version, "1.0.6");
    EXPECT_EQ(r.apns, kTaken);

    // During a rotation the program holds the old key and the new one.
    const TListKeys rotation = LoadListKeys(folder / "rotation");
    ASSERT_EQ(rotation.keys.size(), 2u);
    r = Update(rotation);
    EXPECT_TRUE(r.ok) << r.message;
    Serve("VERSION=1.0.6\r\n", kList, Sign(kList, Comment("1.0.6"), folder / "other.key"));
    r = Update(rotation);
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.apns, kTaken);

    // minisign's legacy signature, over the file itself.
    Serve("VERSION=1.0.6\r\n", kList, Sign(kList, Comment("1.0.6"), kExampleKey, "-l"));
    r = Update(ExampleKey());
    EXPECT_TRUE(r.ok) << r.message;

    // The program's own dial takes only the version, and only a signed one.
    r = Update(ExampleKey(), "1.0.5", false);
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.version, "1.0.6");
    EXPECT_EQ(r.apns, kOldList);

    // Valid up to the second before its expiry.
    Serve("VERSION=1.0.6\r\n", kList, Sign(kList, Comment("1.0.6", "2030-06-01T12:00:00Z")));
    SetListClockForTests(std::chrono::sys_days(std::chrono::year(2030) / 6 / 1) + std::chrono::hours(12) -
                         std::chrono::seconds(1));
    EXPECT_TRUE(Update(ExampleKey()).ok);
    SetListClockForTests(std::chrono::sys_days(std::chrono::year(2030) / 6 / 1) + std::chrono::hours(12));
    r = Update(ExampleKey());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Ошибка при получении обновлений: срок действия подписи списка истёк: 2030-06-01T12:00:00Z");
}

TEST_F(SignedList, AnythingElseIsRefusedWholeWithItsReason) {
    const std::string prefix = "Ошибка при получении обновлений: ";
    std::string changed = kList;
    changed[changed.find("wap")] = 'W';
    const std::string good = Sign(kList, Comment("1.0.6"));
    std::string forgedComment = good;
    forgedComment.replace(forgedComment.find("version=1.0.6"), 13, "version=1.0.7");
    const std::string oldList = "Zentora APN list 5\r\ninternet.old\r\n";

    struct TCase {
        std::string what;
        std::string version, list;
        std::optional<std::string> signature;
        std::string reason;
    };
    const std::vector<TCase> cases = {
        {"one byte changed", "VERSION=1.0.6", changed, good, "подпись не соответствует списку"},
        {"another key", "VERSION=1.0.6", kList, Sign(kList, Comment("1.0.6"), folder / "other.key"),
         "список подписан неизвестным ключом"},
        {"expired", "VERSION=1.0.6", kList, Sign(kList, Comment("1.0.6", "2020-01-01T00:00:00Z")),
         "срок действия подписи списка истёк: 2020-01-01T00:00:00Z"},
        {"another version", "VERSION=1.0.6", kList, Sign(kList, Comment("1.0.66")),
         "подпись выдана для другой версии списка: 1.0.66"},
        {"an older signed list replayed as new", "VERSION=1.0.6", oldList, Sign(oldList, Comment("1.0.5")),
         "подпись выдана для другой версии списка: 1.0.5"},
        {"trusted comment changed", "VERSION=1.0.7", kList, forgedComment, "подпись не соответствует списку"},
        {"missing", "VERSION=1.0.6", kList, std::nullopt, "подпись списка: 404 Not Found"},
        {"oversized", "VERSION=1.0.6", kList, good + std::string(4096, '\n'),
         "подпись списка: Response body longer than 4096 bytes"},
        {"not a signature", "VERSION=1.0.6", kList, "untrusted comment: x\nRUT0\ntrusted comment: x\nAAAA\n",
         "неверный формат подписи списка"},
        {"an unsigned comment form", "VERSION=1.0.6", kList, Sign(kList, "version=1.0.6"),
         "неверный формат подписи списка"},
        {"a signed list of a bad APN", "VERSION=1.0.6", kList + "a\"b\r\n", Sign(kList + "a\"b\r\n", Comment("1.0.6")),
         "неверный APN в строке 4"},
    };
    for (const TCase& c : cases) {
        Serve(c.version, c.list, c.signature);
        for (const bool takeList : {true, false}) {
            const auto r = Update(ExampleKey(), "1.0.5", takeList);
            EXPECT_FALSE(r.ok) << c.what;
            EXPECT_EQ(r.message, prefix + c.reason) << c.what;
            EXPECT_EQ(r.apns, kOldList) << c.what;
        }
    }

    // Rollback: a list not newer than the stored one is never fetched,
    // signed or not.
    Serve("VERSION=1.0.5", oldList, Sign(oldList, Comment("1.0.5")));
    for (const TListKeys& keys : {ExampleKey(), TListKeys{}}) {
        const auto r = Update(keys, "1.0.6");
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.message, "Обновление списка APN не требуется");
        EXPECT_EQ(r.version, "1.0.6");
        EXPECT_EQ(r.apns, kOldList);
    }

    // A key file the program cannot read refuses every list, rather than
    // taking them unsigned.
    fs::create_directories(folder / "broken");
    WriteAll(folder / "broken/apn-list.pub", "untrusted comment: cut short\nRWT0NkgTLWHUR8X\n");
    Serve("VERSION=1.0.6", kList, good);
    const auto r = Update(LoadListKeys(folder / "broken"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, prefix + "ключ подписи не читается: " + (folder / "broken/apn-list.pub").string());
    EXPECT_EQ(r.apns, kOldList);
}

TEST_F(SignedList, WithoutAKeyAnUnsignedListIsTakenAsBefore) {
    Serve("VERSION=1.0.6", kList, std::nullopt);
    const auto r = Update(LoadListKeys(folder / "no-such-folder"));
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.apns, kTaken);
}

// The operator's script signs, nginx serves, the tool shows what the
// program would do with it.
TEST_F(SignedList, PublishedAndCheckedEndToEnd) {
    const std::string tool = std::string(std::getenv("SKYPORTAL_BIN_DIR") ? std::getenv("SKYPORTAL_BIN_DIR")
                                                                           : fs::read_symlink("/proc/self/exe")
                                                                                 .parent_path()
                                                                                 .string()) +
                             "/skyportal-update --host " + server->Address() + " --version 1.0.6 --take-list --keys ";
    const std::string publish = (kServer / "publish-apn-list").string() + " ";
    const std::string www = (server->Prefix() / "www").string();
    WriteAll(folder / "apns.txt", "internet.new\nwap.new\n");

    auto r = Shell(publish + www + " 1.0.7 " + (folder / "apns.txt").string());
    EXPECT_EQ(r.status, 2) << "no key, no --unsigned: nothing published";
    EXPECT_EQ(ReadAll(server->Prefix() / "www/apn/version"), "VERSION=1.0.6\r\n");

    r = Shell(publish + "--key " + kExampleKey.string() + " " + www + " 1.0.7 " + (folder / "apns.txt").string());
    ASSERT_EQ(r.status, 0) << r.out;
    r = Shell(tool + (kServer / "keys").string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "result: true\nversion: 1.0.7\nmessage: \nsignature: required, 1 key(s) in " +
                         (kServer / "keys").string() + "\ninternet.new\nwap.new\n");

    // Unsigned, the script removes the old signature with the old list.
    r = Shell(publish + "--unsigned " + www + " 1.0.8 " + (folder / "apns.txt").string());
    ASSERT_EQ(r.status, 0) << r.out;
    r = Shell(tool + (kServer / "keys").string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "result: false\nversion: 1.0.8\n"
                     "message: Ошибка при получении обновлений: подпись списка: 404 Not Found\n"
                     "signature: required, 1 key(s) in " +
                         (kServer / "keys").string() + "\n");
    r = Shell(tool + (folder / "no-such-folder").string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "result: true\nversion: 1.0.8\nmessage: \nsignature: not required, no key in " +
                         (folder / "no-such-folder").string() + "\ninternet.new\nwap.new\n");

    // The shipped server files are signed by the shipped key.
    for (const char* file : {"version", "list", "list.minisig"})
        fs::copy_file(kServer / "www/apn" / file, server->Prefix() / "www/apn" / file,
                      fs::copy_options::overwrite_existing);
    const auto shipped = Update(ExampleKey(), "1.0.0");
    EXPECT_TRUE(shipped.ok) << shipped.message;
}
