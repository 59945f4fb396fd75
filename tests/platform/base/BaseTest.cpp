#include "platform/base/CommandLine.h"
#include "platform/base/Cp1251.h"
#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iconv.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace sp;

namespace {
class TempRoot : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sp-base-XXXXXX";
        root = ::mkdtemp(tmpl);
        ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

std::string Iconv(const std::string& in, const char* from, const char* to) {
    iconv_t cd = iconv_open(to, from);
    std::string out(in.size() * 4 + 4, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}
} // namespace

TEST_F(TempRoot, FirstUseLaysOutTheMachineWithDefaults) {
    const fs::path r = MachineRoot();
    EXPECT_EQ(r, root);
    EXPECT_TRUE(fs::is_directory(root / "drive_c"));
    struct stat st {};
    ASSERT_EQ(::stat((root / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const MachineVersion v = ReadMachineVersion();
    EXPECT_EQ(v.Code(), 501);
    EXPECT_TRUE(v.nt);
    WriteMachineVersion({4, 10, false});
    EXPECT_EQ(ReadMachineVersion().Code(), 410);
    EXPECT_FALSE(ReadMachineVersion().nt);
}

TEST_F(TempRoot, TheRootIsLaidOutOncePerProcess) {
    (void)MachineRoot();
    // The service asks for paths several times per request: after the first
    // use nothing is checked, created or chmod-ed again.
    ASSERT_EQ(::chmod((root / "run").c_str(), 0750), 0);
    fs::remove(root / "machine.ini");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(MachineRunDir(), root / "run");
    struct stat st {};
    ASSERT_EQ(::stat((root / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    EXPECT_FALSE(fs::exists(root / "machine.ini"));
}

TEST_F(TempRoot, ARootMadeOnFirstUseIsItsUsersAlone) {
    const fs::path fresh = root / "made" / "here";
    ::setenv("SKYPORTAL_ROOT", fresh.c_str(), 1);
    EXPECT_EQ(MachineRoot(), fresh);
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((fresh / "machine.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
}

TEST_F(TempRoot, DriveCMapsBothWays) {
    EXPECT_EQ(WindowsPathToHost("C:\\Zentora\\Skyportal.exe"), root / "drive_c" / "Zentora" / "Skyportal.exe");
    EXPECT_EQ(WindowsPathToHost("c:\\"), root / "drive_c");
    EXPECT_EQ(HostPathToWindows(root / "drive_c" / "Zentora" / "a.lnk"), "C:\\Zentora\\a.lnk");
    EXPECT_EQ(HostPathToWindows("/usr/bin/x"), "Z:\\usr\\bin\\x");
    EXPECT_EQ(WindowsPathToHost("Z:\\usr\\bin\\x"), fs::path("/usr/bin/x"));
}

TEST(Cp1251, EveryByteRoundTripsAndAgreesWithIconv) {
    std::string all;
    for (int b = 1; b < 256; ++b)
        if (b != 0x98) // no character in the code page; iconv refuses it
            all += static_cast<char>(b);
    const std::string utf8 = Cp1251ToUtf8(all);
    EXPECT_EQ(utf8, Iconv(all, "CP1251", "UTF-8"));
    EXPECT_EQ(Utf8ToCp1251(utf8), all);
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8("\x98")), "\x98");
}

TEST(Cp1251, UnmappableAndMalformedBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToCp1251("Зентора"), "\xC7\xE5\xED\xF2\xEE\xF0\xE0");
    EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xADz"), "a?z"); // CJK
    EXPECT_EQ(Utf8ToCp1251("a\xD0"), "a?");            // cut in the middle
    EXPECT_EQ(Utf8ToCp1251("\xFF\x41"), "?A");
}

TEST(IniFile, ParsesCaseInsensitivelyAndSavesAtomically) {
    IniFile f = IniFile::Parse("; comment\r\n[Zentora]\r\nPhoneNumber = *99#\r\n\r\n[Other]\nx=1\n");
    EXPECT_EQ(f.Get("zentora", "phonenumber").value_or(""), "*99#");
    EXPECT_EQ(f.GetInt("OTHER", "X", 7), 1);
    EXPECT_EQ(f.GetInt("OTHER", "missing", 7), 7);
    f.Set("ZENTORA", "Device", "USB GPRS Modem");
    f.RemoveSection("other");
    char tmpl[] = "/tmp/sp-ini-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    ASSERT_TRUE(f.Save(dir / "a.ini"));
    IniFile g = IniFile::Load(dir / "a.ini");
    EXPECT_EQ(g.SectionNames(), std::vector<std::string>{"Zentora"});
    EXPECT_EQ(g.Get("Zentora", "device").value_or(""), "USB GPRS Modem");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1); // no temp left
    EXPECT_FALSE(f.Save(dir / "no" / "such" / "dir.ini"));
    fs::remove_all(dir);
}

TEST(CommandLine, ArgumentsByPosition) {
    SetCommandLine({"prog", "/l", "/n"});
    EXPECT_EQ(ParamStr(1), "/l");
    EXPECT_EQ(ParamStr(2), "/n");
    EXPECT_EQ(ParamStr(3), "");
    EXPECT_EQ(ParamStr(-1), "");
    EXPECT_EQ(ParamCount(), 2);
    EXPECT_FALSE(ProgramFile().empty());
}
