#include "platform/registry/RegFile.h"

#include <gmock/gmock.h>

using namespace sp;

namespace {

TEST(RegFile, ReadsEveryKindOfLine) {
    const std::string text =
        "\r\n; a comment\r\nREGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\\xC7\xE5\xED\xF2\xEE\xF0\xE0]\r\n"
        "\"Path\"=\"C:\\\\Zentora\\\\\"\r\n"
        "\"Say \\\"hi\\\"\" = \"x\"\r\n"
        "@=\"default\"\r\n"
        "\"N\"=dword:0000001F\r\n"
        "\"B\"=hex:01,02,\\\r\n"
        "  ff,0\r\n"
        "\"Lines\"=hex(1):61,0d,0a,00\r\n"
        "\"D4\"=hex(4):01,00,00,00\r\n"
        "\"Gone\"=-\r\n"
        "[-HKLM\\Old]\n";
    const RegFileContent c = ParseRegFile(text);
    ASSERT_EQ(c.keys.size(), 2u);
    const RegFileKey& k = c.keys[0];
    EXPECT_EQ(k.path, "HKEY_LOCAL_MACHINE\\Software\\Зентора");
    ASSERT_EQ(k.values.size(), 8u);
    EXPECT_EQ(std::string(k.values[0].data.begin(), k.values[0].data.end()), "C:\\Zentora\\");
    EXPECT_EQ(k.values[1].name, "Say \"hi\"");
    EXPECT_EQ(k.values[2].name, "");
    EXPECT_EQ(k.values[3].type, RegType::Dword);
    EXPECT_EQ(k.values[3].data, (std::vector<uint8_t>{0x1F, 0, 0, 0}));
    EXPECT_EQ(k.values[4].type, RegType::Binary);
    EXPECT_EQ(k.values[4].data, (std::vector<uint8_t>{1, 2, 0xFF, 0}));
    EXPECT_EQ(k.values[5].type, RegType::Sz);
    EXPECT_EQ(k.values[5].data, (std::vector<uint8_t>{'a', '\r', '\n'}));
    EXPECT_EQ(k.values[6].type, RegType::Dword);
    EXPECT_TRUE(k.values[7].remove);
    EXPECT_TRUE(c.keys[1].remove);
    EXPECT_EQ(c.keys[1].path, "HKLM\\Old");
}

TEST(RegFile, RejectsMalformedFilesWithTheLine) {
    const std::vector<std::pair<std::string, int>> bad = {
        {"Windows Registry Editor Version 5.00\r\n", 1},
        {"", 1},
        {"REGEDIT4\r\n\"a\"=\"b\"\r\n", 2},           // a value before any key
        {"REGEDIT4\r\n[K\r\n", 2},                    // no closing bracket
        {"REGEDIT4\r\n[K]\r\n\"a\"=\"b\r\n", 3},      // no closing quote
        {"REGEDIT4\r\n[K]\r\n\"a\"=dword:123456789\r\n", 3},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex:1g\r\n", 3},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex:01,\r\n", 3},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex(2):00\r\n", 3}, // a type the registry does not keep
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex(4):00\r\n", 3},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex:01,\\\r\n", 4}, // continued past the end
        {"REGEDIT4\r\n[K]\r\n\"a\"=\"b\" x\r\n", 3},
        {"REGEDIT4\r\n[K]\r\n\"a\"=\"\\n\"\r\n", 3},
        {"REGEDIT4\r\n[K]\r\nplain\r\n", 3},
        {"REGEDIT4\r\n[-K]\r\n\"a\"=\"b\"\r\n", 3},
    };
    for (const auto& [text, line] : bad) {
        try {
            (void)ParseRegFile(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ERegFileSyntax& e) {
            EXPECT_EQ(e.Line(), line) << text << " -> " << e.what();
        }
    }
}

TEST(RegFile, WritesWhatItReads) {
    RegFileContent c;
    RegFileKey k;
    k.path = "HKEY_LOCAL_MACHINE\\Software\\Зентора";
    k.values.push_back({"Q", false, RegType::Sz, {'a', '"', '\\', 0xC0}});
    k.values.push_back({"", false, RegType::Sz, {'x'}});
    k.values.push_back({"Lines", false, RegType::Sz, {'a', '\r', '\n'}});
    k.values.push_back({"N", false, RegType::Dword, {0x1F, 0, 0, 0}});
    k.values.push_back({"B", false, RegType::Binary, {0, 0xAB}});
    c.keys.push_back(k);
    const std::string text = FormatRegFile(c);
    EXPECT_EQ(text,
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\\xC7\xE5\xED\xF2\xEE\xF0\xE0]\r\n"
              "\"Q\"=\"a\\\"\\\\\xC0\"\r\n@=\"x\"\r\n\"Lines\"=hex(1):61,0d,0a,00\r\n"
              "\"N\"=dword:0000001f\r\n\"B\"=hex:00,ab\r\n\r\n");
    const RegFileContent back = ParseRegFile(text);
    ASSERT_EQ(back.keys.size(), 1u);
    ASSERT_EQ(back.keys[0].values.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(back.keys[0].values[i].name, k.values[i].name);
        EXPECT_EQ(back.keys[0].values[i].type, k.values[i].type);
        EXPECT_EQ(back.keys[0].values[i].data, k.values[i].data);
    }
}

} // namespace
