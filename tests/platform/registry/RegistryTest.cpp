#include "platform/registry/Registry.h"

#include "TempRoot.h"

#include <gmock/gmock.h>

using namespace sp;
using ::testing::ElementsAre;

namespace {

class Registry : public TempRoot {};

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST_F(Registry, NamesCompareWithoutCaseAndKeepTheirSpelling) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Software\\Zentora\\Skyportal", true));
    reg.WriteString("Modem", "first");
    reg.WriteString("MODEM", "second"); // the same value, first spelling kept
    reg.WriteString("Сеть", "x");

    TRegistry other;
    ASSERT_TRUE(other.OpenKeyReadOnly("\\SOFTWARE\\zentora\\SKYPORTAL"));
    EXPECT_EQ(other.CurrentPath(), "HKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal");
    EXPECT_EQ(other.ReadString("modem"), "second");
    EXPECT_EQ(other.ReadString("СЕТЬ"), "x");
    EXPECT_THAT(other.GetValueNames(), ElementsAre("Modem", "Сеть"));

    ASSERT_TRUE(reg.OpenKey("\\software\\ZENTORA", false));
    EXPECT_THAT(reg.GetKeyNames(), ElementsAre("Skyportal"));
    ASSERT_TRUE(reg.OpenKey("Ёлка", true));
    EXPECT_TRUE(reg.KeyExists("\\Software\\Zentora\\ёЛКА"));
    EXPECT_FALSE(reg.KeyExists("\\Software\\Zentora\\Елка")); // Ё is its own letter
}

TEST_F(Registry, EnumerationFollowsTheOrderOfCreation) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Order", true));
    for (const char* k : {"b", "A", "c", "B2"})
        ASSERT_TRUE(reg.OpenKey(std::string("\\Order\\") + k, true));
    ASSERT_TRUE(reg.OpenKey("\\Order", false));
    for (const char* v : {"z", "a", "M"})
        reg.WriteInteger(v, 1);
    reg.WriteInteger("Z", 2); // overwriting keeps the place
    ASSERT_TRUE(reg.DeleteValue("a"));
    reg.WriteInteger("a", 3); // a new value comes last
    ASSERT_TRUE(reg.DeleteKey("A"));
    ASSERT_TRUE(reg.OpenKey("\\Order\\A", true));
    ASSERT_TRUE(reg.OpenKey("\\Order", false));

    EXPECT_THAT(reg.GetValueNames(), ElementsAre("z", "M", "a"));
    EXPECT_EQ(reg.ReadInteger("z"), 2u);
    TRegistry again;
    ASSERT_TRUE(again.OpenKeyReadOnly("\\Order"));
    EXPECT_THAT(again.GetKeyNames(), ElementsAre("b", "c", "B2", "A"));
}

TEST_F(Registry, ValueTypesAndWrongTypeReads) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Types", true));
    reg.WriteString("sz", "Зентора");
    reg.WriteInteger("dw", 0xDEADBEEF);
    const uint8_t bin[] = {0x10, 0x00, 0xFF};
    reg.WriteBinaryData("bin", bin, 3);
    reg.WriteBinaryData("empty", nullptr, 0);

    EXPECT_EQ(reg.GetDataType("sz"), RegType::Sz);
    EXPECT_EQ(reg.GetDataType("dw"), RegType::Dword);
    EXPECT_EQ(reg.GetDataType("bin"), RegType::Binary);
    EXPECT_EQ(reg.GetDataType("none"), std::nullopt);
    EXPECT_EQ(reg.GetDataSize("sz"), 8); // seven letters of code page 1251 and the zero
    EXPECT_EQ(reg.GetDataSize("dw"), 4);
    EXPECT_EQ(reg.GetDataSize("empty"), 0);
    EXPECT_EQ(reg.GetDataSize("none"), -1);

    // Texts are stored as code page 1251.
    EXPECT_EQ(reg.ReadBinary("sz"), Bytes("\xC7\xE5\xED\xF2\xEE\xF0\xE0"));
    EXPECT_EQ(reg.ReadString("sz"), "Зентора");
    EXPECT_EQ(reg.ReadInteger("dw"), 0xDEADBEEFu);
    EXPECT_EQ(reg.ReadBinary("dw"), (std::vector<uint8_t>{0xEF, 0xBE, 0xAD, 0xDE}));

    EXPECT_THROW((void)reg.ReadString("dw"), ERegistryException);
    EXPECT_THROW((void)reg.ReadString("bin"), ERegistryException);
    EXPECT_THROW((void)reg.ReadInteger("sz"), ERegistryException);
    EXPECT_EQ(reg.LastError(), RegError::WrongType);
    EXPECT_THROW((void)reg.ReadInteger("none"), ERegistryException);
    EXPECT_EQ(reg.ReadString("none"), "");
    EXPECT_EQ(reg.LastError(), RegError::NotFound);
    EXPECT_TRUE(reg.ReadBinary("none").empty());

    uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(reg.ReadBinaryData("bin", buf, 4), 3);
    EXPECT_THAT(buf, ElementsAre(0x10, 0x00, 0xFF, 0xAA));
    EXPECT_EQ(reg.ReadBinaryData("bin", buf, 3), 3);
    EXPECT_THROW(reg.ReadBinaryData("bin", buf, 2), ERegistryException);
    EXPECT_THROW(reg.ReadBinaryData("dw", buf, 4), ERegistryException);
    EXPECT_THROW(reg.ReadBinaryData("none", buf, 4), ERegistryException);
    EXPECT_EQ(reg.ReadBinaryData("empty", buf, 0), 0);

    // A value changes its type when written with another one.
    reg.WriteString("dw", "now text");
    EXPECT_EQ(reg.GetDataType("dw"), RegType::Sz);
    EXPECT_EQ(reg.ReadString("dw"), "now text");
}

TEST_F(Registry, TextsEndAtZeroAndUnknownLettersBecomeQuestionMarks) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\T", true));
    reg.WriteString("z", std::string_view("ab\0cd", 5));
    EXPECT_EQ(reg.ReadString("z"), "ab");
    reg.WriteString("cjk", "a日b");
    EXPECT_EQ(reg.ReadString("cjk"), "a?b");
    reg.WriteString("lines", "internet\r\nwap\r\n");
    EXPECT_EQ(reg.ReadString("lines"), "internet\r\nwap\r\n");
    reg.WriteString("", "default");
    EXPECT_EQ(reg.ReadString(""), "default");
}

TEST_F(Registry, AbsoluteAndRelativePaths) {
    TRegistry reg;
    // Without a current key a relative path starts at the root key.
    ASSERT_TRUE(reg.OpenKey("Software\\\\Zentora\\", true));
    EXPECT_EQ(reg.CurrentPath(), "HKEY_LOCAL_MACHINE\\Software\\Zentora");
    ASSERT_TRUE(reg.OpenKey("Skyportal\\Deep", true));
    EXPECT_EQ(reg.CurrentPath(), "HKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal\\Deep");
    EXPECT_TRUE(reg.KeyExists("\\\\Software\\Zentora\\Skyportal\\\\"));
    EXPECT_FALSE(reg.KeyExists("Software")); // relative to ...\Deep

    // A failed open keeps the current key.
    EXPECT_FALSE(reg.OpenKey("\\Missing\\Key", false));
    EXPECT_EQ(reg.LastError(), RegError::NotFound);
    EXPECT_FALSE(reg.OpenKeyReadOnly("Missing"));
    EXPECT_EQ(reg.CurrentPath(), "HKEY_LOCAL_MACHINE\\Software\\Zentora\\Skyportal\\Deep");
    reg.WriteInteger("here", 1);

    ASSERT_TRUE(reg.OpenKeyReadOnly("\\"));
    EXPECT_EQ(reg.CurrentPath(), "HKEY_LOCAL_MACHINE");
    EXPECT_THAT(reg.GetKeyNames(), ElementsAre("Software"));

    reg.CloseKey();
    EXPECT_FALSE(reg.HasCurrentKey());
    EXPECT_EQ(reg.CurrentPath(), "");
    EXPECT_THROW(reg.WriteInteger("x", 1), ERegistryException);
    EXPECT_EQ(reg.LastError(), RegError::InvalidArgument);

    EXPECT_FALSE(reg.OpenKey("\\Long\\" + std::string(256, 'k'), true));
    EXPECT_EQ(reg.LastError(), RegError::InvalidArgument);
    EXPECT_FALSE(reg.KeyExists("\\Long"));

    // The hives are separate trees.
    reg.SetRootKey(RegHive::DynData);
    EXPECT_FALSE(reg.KeyExists("\\Software"));
    ASSERT_TRUE(reg.OpenKey("\\PerfStats\\StatData", true));
    EXPECT_EQ(reg.CurrentPath(), "HKEY_DYN_DATA\\PerfStats\\StatData");
    reg.SetRootKey(RegHive::LocalMachine);
    EXPECT_FALSE(reg.HasCurrentKey());
    EXPECT_FALSE(reg.KeyExists("\\PerfStats"));
}

TEST_F(Registry, DeleteKeyTakesTheWholeTree) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\A\\B\\C", true));
    reg.WriteInteger("v", 1);
    ASSERT_TRUE(reg.OpenKey("\\A", false));
    EXPECT_TRUE(reg.DeleteKey("B"));
    EXPECT_FALSE(reg.KeyExists("\\A\\B\\C"));
    EXPECT_FALSE(reg.DeleteKey("B"));
    EXPECT_EQ(reg.LastError(), RegError::NotFound);
    EXPECT_FALSE(reg.DeleteKey("\\")); // the root key stays
    // Recreated, the key is empty.
    ASSERT_TRUE(reg.OpenKey("\\A\\B\\C", true));
    EXPECT_TRUE(reg.GetValueNames().empty());
}

TEST_F(Registry, KeyDeletedByAnotherInstance) {
    TRegistry holder;
    ASSERT_TRUE(holder.OpenKey("\\Gone", true));
    holder.WriteInteger("v", 7);
    TRegistry other;
    ASSERT_TRUE(other.DeleteKey("\\Gone"));
    ASSERT_TRUE(other.OpenKey("\\Gone", true)); // a new key of the same name
    EXPECT_FALSE(holder.ValueExists("v"));
    EXPECT_THROW(holder.WriteInteger("v", 8), ERegistryException);
    EXPECT_TRUE(other.GetValueNames().empty());
}

TEST_F(Registry, ReadOnlyMarkIsInheritedBySubkeysWithoutTheirOwn) {
    {
        TRegistry admin;
        ASSERT_TRUE(admin.OpenKey("\\Software\\Zentora\\Skyportal", true));
        admin.WriteString("Modem", "m");
        admin.SetAccess("\\Software\\Zentora", RegAccess::ReadOnly);
        admin.SetAccess("\\Software\\Zentora\\Open", RegAccess::Full); // created with its mark
    }
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("\\Software\\Zentora\\Skyportal", true));
    EXPECT_EQ(reg.LastError(), RegError::AccessDenied);
    EXPECT_FALSE(reg.OpenKey("\\Software\\Zentora\\New", true));
    EXPECT_FALSE(reg.KeyExists("\\Software\\Zentora\\New"));
    EXPECT_FALSE(reg.DeleteKey("\\Software\\Zentora\\Skyportal"));
    EXPECT_EQ(reg.LastError(), RegError::AccessDenied);
    // A parent that is writable cannot take a protected subkey with it.
    EXPECT_FALSE(reg.DeleteKey("\\Software"));
    EXPECT_TRUE(reg.KeyExists("\\Software\\Zentora\\Skyportal"));

    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Zentora\\Skyportal"));
    EXPECT_EQ(reg.ReadString("Modem"), "m");
    EXPECT_THROW(reg.WriteString("Modem", "x"), ERegistryException);
    EXPECT_EQ(reg.LastError(), RegError::AccessDenied);
    EXPECT_FALSE(reg.DeleteValue("Modem"));
    EXPECT_EQ(reg.ReadString("Modem"), "m");

    ASSERT_TRUE(reg.OpenKey("\\Software\\Zentora\\Open\\Below", true));
    reg.WriteInteger("ok", 1);

    ASSERT_TRUE(reg.ClearAccess("\\Software\\Zentora"));
    ASSERT_TRUE(reg.OpenKey("\\Software\\Zentora\\Skyportal", false));
    reg.WriteString("Modem", "n");
    EXPECT_FALSE(reg.ClearAccess("\\Missing"));
}

TEST_F(Registry, NoAccessHidesTheKeyButNotItsExistence) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Class\\Modem\\0000", true));
    reg.WriteString("FriendlyName", "m");
    reg.SetAccess("\\Class", RegAccess::None);
    EXPECT_TRUE(reg.KeyExists("\\Class\\Modem"));
    EXPECT_FALSE(reg.OpenKeyReadOnly("\\Class\\Modem"));
    EXPECT_EQ(reg.LastError(), RegError::AccessDenied);
    EXPECT_FALSE(reg.OpenKey("\\Class\\Modem", false));
    reg.SetAccess("\\Class\\Modem\\0000", RegAccess::ReadOnly);
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Class\\Modem\\0000"));
    EXPECT_EQ(reg.ReadString("FriendlyName"), "m");
}

TEST_F(Registry, AtomicallyKeepsAllOrNothing) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Before", true));
    EXPECT_THROW(reg.Atomically([&] {
        ASSERT_TRUE(reg.OpenKey("\\Batch\\One", true));
        reg.WriteInteger("a", 1);
        ASSERT_TRUE(reg.OpenKey("\\Batch\\Two", true));
        throw std::runtime_error("stop");
    }),
                 std::runtime_error);
    EXPECT_EQ(reg.CurrentPath(), "HKEY_LOCAL_MACHINE\\Before");
    EXPECT_FALSE(reg.KeyExists("\\Batch"));

    reg.Atomically([&] {
        ASSERT_TRUE(reg.OpenKey("\\Batch\\One", true));
        reg.WriteInteger("a", 1);
        EXPECT_FALSE(reg.OpenKey("\\Batch\\One\\" + std::string(300, 'x'), true)); // refused, batch goes on
        reg.WriteInteger("b", 2);
    });
    TRegistry other;
    ASSERT_TRUE(other.OpenKeyReadOnly("\\Batch\\One"));
    EXPECT_THAT(other.GetValueNames(), ElementsAre("a", "b"));
}

TEST_F(Registry, DefaultRegistryLivesInTheMachineRoot) {
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\X", true));
    }
    EXPECT_TRUE(std::filesystem::exists(Db()));
    TRegistry direct(Db());
    EXPECT_TRUE(direct.KeyExists("\\x"));
}

TEST_F(Registry, UnusableDatabaseFailsWithoutCrashing) {
    TRegistry reg(root / "no" / "such" / "dir" / "registry.db");
    EXPECT_FALSE(reg.OpenKey("\\X", true));
    EXPECT_EQ(reg.LastError(), RegError::Storage);
    EXPECT_FALSE(reg.KeyExists("\\X"));
    EXPECT_THROW((void)reg.ReadString("v"), ERegistryException);
}

TEST_F(Registry, KeysDeeperThanThePlatformAllowsAreRefusedAndDeepTreesDelete) {
    TRegistry reg;
    std::string path;
    for (int i = 0; i < 511; ++i)
        path += "\\k";
    ASSERT_TRUE(reg.OpenKey(path + "\\last", true)); // level 512
    EXPECT_FALSE(reg.OpenKey(path + "\\last\\one-too-many", true));
    EXPECT_EQ(reg.LastError(), RegError::InvalidArgument);
    EXPECT_FALSE(reg.KeyExists(path + "\\last\\one-too-many"));
    // The whole chain goes at once, below the depth where a cascade of
    // deletions would stop.
    EXPECT_TRUE(reg.DeleteKey("\\k"));
    EXPECT_FALSE(reg.KeyExists("\\k"));
}

TEST_F(Registry, NamesThatAFileCannotHoldAreRefused) {
    TRegistry reg;
    for (const std::string& name : std::vector<std::string>{"a\nb", "a\rb", "M25]", std::string("x\0y", 3)}) {
        EXPECT_FALSE(reg.OpenKey("\\Software\\" + name, true)) << name;
        EXPECT_EQ(reg.LastError(), RegError::InvalidArgument) << name;
    }
    ASSERT_TRUE(reg.OpenKey("\\Software\\ok]x", true));
    for (const std::string& name : {std::string("a\nb"), std::string("a\r"), std::string(16384, 'n')}) {
        EXPECT_THROW(reg.WriteString(name, "v"), ERegistryException);
        EXPECT_EQ(reg.LastError(), RegError::InvalidArgument);
        EXPECT_FALSE(reg.ValueExists(name));
    }
    reg.WriteString(std::string(16383, 'n'), "the longest name");
    EXPECT_TRUE(reg.ValueExists(std::string(16383, 'n')));
}

} // namespace
