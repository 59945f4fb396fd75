#include "platform/registry/Registry.h"

#include "TempRoot.h"

#include <gmock/gmock.h>

#include <fstream>
#include <iterator>
#include <sys/wait.h>

using namespace sp;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::filesystem::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << text;
}

class RegTool : public TempRoot {
protected:
    // Runs the built tool on this test's machine root; input answers its questions.
    Result Reg(const std::vector<std::string>& args, const std::string& input = "") {
        const char* bin = std::getenv("SKYPORTAL_BIN_DIR");
        std::string cmd = "SKYPORTAL_ROOT=" + Quote(root.string()) + " " +
                          Quote((std::filesystem::path(bin ? bin : ".") / "skyportal-reg").string());
        for (const std::string& a : args)
            cmd += " " + Quote(a);
        WriteAll(root / "in.txt", input);
        cmd += " <" + Quote((root / "in.txt").string()) + " >" + Quote((root / "out.txt").string()) + " 2>" +
               Quote((root / "err.txt").string());
        Result r;
        const int status = std::system(cmd.c_str());
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadAll(root / "out.txt");
        r.err = ReadAll(root / "err.txt");
        return r;
    }

    static constexpr const char* kOk = "The operation completed successfully.\n";
    static constexpr const char* kNotFound =
        "ERROR: The system was unable to find the specified registry key or value.\n";
    static constexpr const char* kDenied = "ERROR: Access is denied.\n";
};

TEST_F(RegTool, QueryPrintsLikeReg) {
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\Software\\Zentora\\Skyportal", true));
        reg.WriteString("Modem", "Модем GPRS");
        reg.WriteString("APNs", "internet\r\n");
        reg.WriteInteger("Count", 31);
        const uint8_t bin[] = {0x00, 0x1F, 0xAB};
        reg.WriteBinaryData("Raw", bin, 3);
        reg.WriteString("", "default");
        ASSERT_TRUE(reg.OpenKey("Sub1", true));
        ASSERT_TRUE(reg.OpenKey("\\Software\\Zentora\\Skyportal\\Sub2", true));
    }
    Result r = Reg({"query", "hklm\\SOFTWARE\\zentora\\skyportal"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "\n"
                     "HKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal\n"
                     "    Modem    REG_SZ    Модем GPRS\n"
                     "    APNs    REG_SZ    internet\r\n\n"
                     "    Count    REG_DWORD    0x1f\n"
                     "    Raw    REG_BINARY    001FAB\n"
                     "    (Default)    REG_SZ    default\n"
                     "\n"
                     "HKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal\\Sub1\n"
                     "HKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal\\Sub2\n");

    r = Reg({"query", "HKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal", "/v", "count"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal\n    Count    REG_DWORD    0x1f\n\n");
    r = Reg({"query", "HKLM\\Software\\Zentora\\Skyportal", "/ve"});
    EXPECT_THAT(r.out, HasSubstr("    (Default)    REG_SZ    default\n"));

    r = Reg({"query", "HKLM\\Software\\Zentora\\Skyportal\\Sub1"});
    EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal\\Sub1\n\n");
}

TEST_F(RegTool, AddAndDelete) {
    EXPECT_EQ(Reg({"add", "HKLM\\Software\\Zentora"}).out, kOk);
    EXPECT_EQ(Reg({"add", "HKLM\\Software\\Zentora", "/v", "Name", "/d", "Зентора"}).status, 0);
    EXPECT_EQ(Reg({"add", "HKLM\\Software\\Zentora", "/v", "Num", "/t", "REG_DWORD", "/d", "0x1F"}).status, 0);
    EXPECT_EQ(Reg({"add", "HKLM\\Software\\Zentora", "/v", "Dec", "/t", "reg_dword", "/d", "4294967295"}).status, 0);
    EXPECT_EQ(Reg({"add", "HKLM\\Software\\Zentora", "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10"}).status, 0);
    EXPECT_EQ(Reg({"add", "HKDD\\PerfStats\\StatData", "/ve", "/d", "d"}).status, 0);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Zentora"));
        EXPECT_EQ(reg.ReadString("Name"), "Зентора");
        EXPECT_EQ(reg.ReadInteger("Num"), 31u);
        EXPECT_EQ(reg.ReadInteger("Dec"), 0xFFFFFFFFu);
        EXPECT_EQ(reg.ReadBinary("Bin"), (std::vector<uint8_t>{0, 0xFF, 0x10}));
        reg.SetRootKey(RegHive::DynData);
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\PerfStats\\StatData"));
        EXPECT_EQ(reg.ReadString(""), "d");
    }

    // An existing value is overwritten only when the question is answered yes.
    Result r = Reg({"add", "HKLM\\Software\\Zentora", "/v", "Name", "/d", "no"}, "n\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, StartsWith("Value Name exists, overwrite (Yes/No)? "));
    r = Reg({"add", "HKLM\\Software\\Zentora", "/v", "Name", "/d", "yes"}, "Yes\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Reg({"query", "HKLM\\Software\\Zentora", "/v", "Name"}).out,
              "\nHKEY_LOCAL_MACHINE\\Software\\Zentora\n    Name    REG_SZ    yes\n\n");

    EXPECT_EQ(Reg({"delete", "HKLM\\Software\\Zentora", "/v", "NAME", "/f"}).out, kOk);
    r = Reg({"delete", "HKLM\\Software\\Zentora", "/v", "Name", "/f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kNotFound);
    r = Reg({"delete", "HKLM\\Software", "/f"});
    EXPECT_EQ(r.out, kOk);
    r = Reg({"query", "HKLM\\Software\\Zentora"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNotFound);
}

TEST_F(RegTool, ErrorsGoToStandardErrorWithStatusOne) {
    const std::vector<std::vector<std::string>> syntax = {
        {},
        {"frobnicate", "HKLM\\X"},
        {"query"},
        {"query", "HKLM\\X", "/x"},
        {"add", "HKLM\\X", "/v"},
        {"add", "HKLM\\X", "/v", "a", "/v", "b"},
        {"access", "HKLM\\X", "sometimes"},
        {"export", "HKLM\\X"},
    };
    for (const auto& args : syntax) {
        const Result r = Reg(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, StartsWith("ERROR: Invalid syntax.\n"));
        EXPECT_THAT(r.err, HasSubstr("skyportal-reg "));
    }
    EXPECT_EQ(Reg({"query", "HKLM\\X", "/z"}).err,
              "ERROR: Invalid syntax.\nUsage: skyportal-reg query KEY [/v NAME | /ve]\n");

    Result r = Reg({"query", "HKCU\\Software"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Invalid key name.\n");
    r = Reg({"add", "HKLM\\X", "/v", "n", "/t", "REG_DWORD", "/d", "12abc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, StartsWith("ERROR: Invalid syntax."));
    r = Reg({"add", "HKLM\\X", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"});
    EXPECT_EQ(r.status, 1);
    r = Reg({"add", "HKLM\\X", "/v", "n", "/t", "REG_BINARY", "/d", "abc"});
    EXPECT_EQ(r.status, 1);
    r = Reg({"add", "HKLM\\X", "/v", "n", "/t", "REG_MULTI_SZ", "/d", "a"});
    EXPECT_EQ(r.status, 1);
    TRegistry reg;
    EXPECT_FALSE(reg.KeyExists("\\X")); // bad data creates nothing
    EXPECT_EQ(Reg({"/?"}).status, 0);
}

TEST_F(RegTool, AccessMarks) {
    EXPECT_EQ(Reg({"add", "HKLM\\Software\\Zentora\\Skyportal", "/v", "Modem", "/d", "m"}).status, 0);
    EXPECT_EQ(Reg({"access", "HKLM\\Software\\Zentora", "readonly"}).out, kOk);
    Result r = Reg({"add", "HKLM\\Software\\Zentora\\Skyportal", "/v", "Modem", "/d", "x", "/f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kDenied);
    EXPECT_EQ(Reg({"delete", "HKLM\\Software\\Zentora\\Skyportal", "/f"}).err, kDenied);
    EXPECT_EQ(Reg({"query", "HKLM\\Software\\Zentora\\Skyportal", "/v", "Modem"}).status, 0);

    EXPECT_EQ(Reg({"access", "HKLM\\Software\\Zentora", "none"}).status, 0);
    r = Reg({"query", "HKLM\\Software\\Zentora\\Skyportal"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kDenied);
    EXPECT_EQ(Reg({"export", "HKLM\\Software", (root / "x.reg").string()}).err, kDenied);

    EXPECT_EQ(Reg({"access", "HKLM\\Software\\Zentora", "inherit"}).status, 0);
    EXPECT_EQ(Reg({"add", "HKLM\\Software\\Zentora\\Skyportal", "/v", "Modem", "/d", "x", "/f"}).status, 0);
    EXPECT_EQ(Reg({"access", "HKLM\\Missing", "inherit"}).err, kNotFound);
}

TEST_F(RegTool, ExportAndImportRoundTrip) {
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\Software\\Зентора", true));
        reg.WriteString("Имя", "Зентора Skyportal");
        reg.WriteString("Path", "say \"hi\" C:\\Zentora\\");
        reg.WriteString("APNs", "internet\r\nwap\r\n");
        reg.WriteString("", "по умолчанию");
        reg.WriteInteger("Stage", 2);
        reg.WriteBinaryData("All", all.data(), static_cast<int>(all.size()));
        ASSERT_TRUE(reg.OpenKey("Modems\\0000", true));
        reg.WriteString("FriendlyName", "Модем");
    }
    const std::filesystem::path file = root / "out.reg";
    EXPECT_EQ(Reg({"export", "HKLM\\software\\зентора", file.string()}).out, kOk);
    const std::string text = ReadAll(file);
    // Code page 1251 on disk, CR LF line ends.
    EXPECT_THAT(text, StartsWith("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\\xC7\xE5\xED\xF2\xEE\xF0\xE0]\r\n"
                                 "\"\xC8\xEC\xFF\"=\"\xC7\xE5\xED\xF2\xEE\xF0\xE0 Skyportal\"\r\n"
                                 "\"Path\"=\"say \\\"hi\\\" C:\\\\Zentora\\\\\"\r\n"));
    EXPECT_THAT(text, HasSubstr("\"Stage\"=dword:00000002\r\n"));
    EXPECT_THAT(text, HasSubstr("\r\n[HKEY_LOCAL_MACHINE\\Software\\\xC7\xE5\xED\xF2\xEE\xF0\xE0\\Modems\\0000]\r\n"));

    // Without /y an existing file is kept unless the question is answered yes.
    EXPECT_EQ(Reg({"export", "HKLM\\Software", file.string()}, "no\n").status, 1);
    EXPECT_EQ(ReadAll(file), text);

    EXPECT_EQ(Reg({"delete", "HKLM\\Software", "/f"}).status, 0);
    EXPECT_EQ(Reg({"import", file.string()}).out, kOk);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Зентора"));
        EXPECT_THAT(reg.GetValueNames(), ElementsAre("Имя", "Path", "APNs", "", "Stage", "All"));
        EXPECT_EQ(reg.ReadString("Имя"), "Зентора Skyportal");
        EXPECT_EQ(reg.ReadString("Path"), "say \"hi\" C:\\Zentora\\");
        EXPECT_EQ(reg.ReadString("APNs"), "internet\r\nwap\r\n");
        EXPECT_EQ(reg.ReadString(""), "по умолчанию");
        EXPECT_EQ(reg.ReadInteger("Stage"), 2u);
        EXPECT_EQ(reg.ReadBinary("All"), all);
        ASSERT_TRUE(reg.OpenKeyReadOnly("Modems\\0000"));
        EXPECT_EQ(reg.ReadString("FriendlyName"), "Модем");
    }
    const std::filesystem::path again = root / "again.reg";
    EXPECT_EQ(Reg({"export", "HKLM\\Software\\Зентора", again.string(), "/y"}).status, 0);
    EXPECT_EQ(ReadAll(again), text);
}

TEST_F(RegTool, ImportDeletesAndIsAllOrNothing) {
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\Old\\Sub", true));
        ASSERT_TRUE(reg.OpenKey("\\Keep", true));
        reg.WriteString("a", "1");
        reg.WriteString("b", "2");
    }
    const std::filesystem::path file = root / "in.reg";
    WriteAll(file, "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Old]\n[-HKLM\\NeverWas]\n[HKLM\\Keep]\n\"a\"=-\n\"c\"=\"3\"\n");
    EXPECT_EQ(Reg({"import", file.string()}).status, 0);
    {
        TRegistry reg;
        EXPECT_FALSE(reg.KeyExists("\\Old"));
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\Keep"));
        EXPECT_THAT(reg.GetValueNames(), ElementsAre("b", "c"));
        reg.SetAccess("\\Locked", RegAccess::ReadOnly);
    }

    // A refusal half-way undoes the part already done.
    WriteAll(file, "REGEDIT4\n\n[HKLM\\Fresh]\n\"x\"=\"1\"\n[HKLM\\Keep]\n\"b\"=-\n[HKLM\\Locked\\Sub]\n");
    Result r = Reg({"import", file.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kDenied);
    // A malformed file changes nothing and names the line.
    WriteAll(file, "REGEDIT4\n\n[HKLM\\Fresh]\n\"x\"=dword:xyz\n");
    r = Reg({"import", file.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("line 4"));
    {
        TRegistry reg;
        EXPECT_FALSE(reg.KeyExists("\\Fresh"));
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\Keep"));
        EXPECT_THAT(reg.GetValueNames(), ElementsAre("b", "c"));
    }
    r = Reg({"import", (root / "missing.reg").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, StartsWith("ERROR: "));
}

TEST_F(RegTool, GarbageIsRefusedAndChangesNothing) {
    const std::string key = "HKLM\\Software\\G";
    for (const char* d : {"0x+1", "0x 1", "0x-1", " 1", "1 ", "0x", "4294967296", "0x100000000", "1e3"}) {
        auto r = Reg({"add", key, "/v", "n", "/t", "REG_DWORD", "/d", d, "/f"});
        EXPECT_EQ(r.status, 1) << d;
        EXPECT_THAT(r.err, HasSubstr("Specify a valid numeric value")) << d;
    }
    auto r = Reg({"add", key, "/v", "t", "/d", "日本", "/f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: The text has characters that code page 1251 cannot hold.\n");
    r = Reg({"add", key, "/v", std::string(20000, 'v'), "/d", "x", "/f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Invalid value name.\n");
    // Nothing was created by any of them.
    EXPECT_EQ(Reg({"query", key}).status, 1);
    r = Reg({"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "0xFFFFFFFF", "/f"});
    EXPECT_EQ(r.status, 0) << r.err;

    for (const char* line : {"[HKEY_LOCAL_MACHINE\\Software\\\\\\M25]", "[HKEY_LOCAL_MACHINE\\Software\\M25]]",
                                    "[HKEY_LOCAL_MACHINE\\Software\\M25\\]"}) {
        WriteAll(root / "g.reg", std::string("REGEDIT4\r\n\r\n") + line + "\r\n\"v\"=\"x\"\r\n");
        r = Reg({"import", (root / "g.reg").string()});
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_THAT(r.err, StartsWith("ERROR: ")) << line;
    }
    EXPECT_EQ(Reg({"query", "HKLM\\Software\\M25"}).status, 1);
    EXPECT_EQ(Reg({"query", "HKLM\\Software\\M25]"}).status, 1);
    const std::string far = "[HKEY_LOCAL_MACHINE\\Software\\F]\r\n\"" + std::string(16384, 'v') + "\"=\"x\"\r\n";
    WriteAll(root / "g.reg", "REGEDIT4\r\n\r\n" + far);
    r = Reg({"import", (root / "g.reg").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Reg({"query", "HKLM\\Software\\F"}).status, 1);
}

TEST_F(RegTool, WhatExportWritesImportReadsBack) {
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\Software\\E\\with ] inside\\tail", true));
        reg.WriteString("line\\\"quoted\"", "text\r\nwith breaks");
        reg.WriteString("", "default");
        // A deep chain exports in time proportional to its length.
        std::string deep = "\\Software\\E\\d";
        for (int i = 0; i < 500; ++i)
            deep += "\\d";
        ASSERT_TRUE(reg.OpenKey(deep, true));
        reg.WriteInteger("bottom", 7);
    }
    auto r = Reg({"export", "HKLM\\Software\\E", (root / "e.reg").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string first = ReadAll(root / "e.reg");
    ASSERT_EQ(Reg({"delete", "HKLM\\Software\\E", "/f"}).status, 0);
    r = Reg({"import", (root / "e.reg").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Reg({"export", "HKLM\\Software\\E", (root / "e2.reg").string()}).status, 0);
    EXPECT_EQ(ReadAll(root / "e2.reg"), first);
}

} // namespace
