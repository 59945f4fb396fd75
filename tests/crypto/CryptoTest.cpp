#include "crypto/Blowfish.h"
#include "crypto/uEncrypt.h"
#include "platform/base/Cp1251.h"

#include <gtest/gtest.h>
#include <openssl/blowfish.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace sp;

namespace {

constexpr uint8_t kBuiltInKey[8] = {0x5A, 0xC3, 0x1E, 0x97, 0x40, 0xB8, 0x6D, 0xF2};

std::vector<uint8_t> FromHex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

std::string RandomBytes(std::mt19937& rng, size_t len, bool allowZero) {
    std::uniform_int_distribution<int> byte(allowZero ? 0 : 1, 255);
    std::string s(len, '\0');
    for (char& c : s)
        c = static_cast<char>(byte(rng));
    return s;
}

// OpenSSL's Blowfish-CBC under the built-in key and IV over the text padded
// with zeros to (len div 8) * 8 + 16 bytes.
std::string ReferenceEncryptString(const std::string& text) {
    BF_KEY key;
    BF_set_key(&key, 8, kBuiltInKey);
    uint8_t iv[8];
    std::copy(std::begin(kBuiltInKey), std::end(kBuiltInKey), iv);
    const size_t n = (text.size() / 8) * 8 + 16;
    std::vector<uint8_t> in(n, 0), out(n);
    std::copy(text.begin(), text.end(), in.begin());
    BF_cbc_encrypt(in.data(), out.data(), static_cast<long>(n), &key, iv, BF_ENCRYPT);
    return ToHex(out.data(), n);
}

std::string RunTool(const std::string& args) {
    const char* dir = std::getenv("SKYPORTAL_BIN_DIR");
    std::string cmd = std::string(dir ? dir : ".") + "/skyportal-cipher " + args;
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, got);
        if (::pclose(p) != 0)
            out = "<failed>";
    }
    return out;
}

// Eric Young's Blowfish ECB vectors: key, plain, cipher.
struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};
constexpr Vector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};
static_assert(std::size(kEcbVectors) == 34);

} // namespace

// ---- the block cipher --------------------------------------------------

TEST(Blowfish, PublishedVectorsInBothDirections) {
    for (const Vector& v : kEcbVectors) {
        SCOPED_TRACE(v.key + std::string(" ") + v.plain);
        const auto key = FromHex(v.key);
        const auto plain = FromHex(v.plain);
        TBlowfishData data;
        BlowfishInit(data, key.data(), 8);
        uint8_t block[8];
        BlowfishEncryptBlock(data, plain.data(), block);
        EXPECT_EQ(ToHex(block, 8), v.cipher);
        BF_KEY ref;
        BF_set_key(&ref, 8, key.data());
        uint8_t theirs[8];
        BF_ecb_encrypt(plain.data(), theirs, &ref, BF_ENCRYPT);
        EXPECT_EQ(ToHex(theirs, 8), v.cipher) << "the table itself";
        BlowfishDecryptBlock(data, block, block); // in place
        EXPECT_EQ(ToHex(block, 8), v.plain);
    }
}

TEST(Blowfish, EveryKeyLengthMatchesOpenSsl) {
    std::mt19937 rng(1);
    for (int len = 1; len <= 56; ++len) {
        const std::string key = RandomBytes(rng, static_cast<size_t>(len), true);
        const std::string block = RandomBytes(rng, 8, true);
        const auto* k = reinterpret_cast<const uint8_t*>(key.data());
        const auto* in = reinterpret_cast<const uint8_t*>(block.data());

        TBlowfishData data;
        BlowfishInit(data, k, len);
        uint8_t ours[8];
        BlowfishEncryptBlock(data, in, ours);

        BF_KEY ref;
        BF_set_key(&ref, len, k);
        uint8_t theirs[8];
        BF_ecb_encrypt(in, theirs, &ref, BF_ENCRYPT);
        EXPECT_EQ(ToHex(ours, 8), ToHex(theirs, 8)) << "key length " << len;
    }
}

TEST(Blowfish, KeyLengthOutsideOneToFiftySixIsRefused) {
    uint8_t key[57] = {};
    TBlowfishData data;
    for (int len : {0, -1, 57}) {
        try {
            BlowfishInit(data, key, len);
            ADD_FAILURE() << "accepted key length " << len;
        } catch (const EBlowfishError& e) {
            EXPECT_STREQ(e.what(), "Blowfish: Key must be between 1 and 56 bytes long");
        }
    }
    EXPECT_NO_THROW(BlowfishInit(data, key, 1));
    EXPECT_NO_THROW(BlowfishInit(data, key, 56));
}

TEST(Blowfish, CbcStepsChainLikeOpenSslAndResetRestartsTheChain) {
    std::mt19937 rng(2);
    std::uniform_int_distribution<size_t> blocks(1, 250);
    for (int round = 0; round < 300; ++round) {
        const std::string text = RandomBytes(rng, 8 * blocks(rng), true);
        const auto* in = reinterpret_cast<const uint8_t*>(text.data());

        TBlowfishData data;
        BlowfishInit(data, kBuiltInKey, 8, kBuiltInKey);
        std::vector<uint8_t> ours(text.size());
        for (size_t i = 0; i < text.size(); i += 8)
            BlowfishEncryptCBC(data, in + i, ours.data() + i);

        BF_KEY ref;
        BF_set_key(&ref, 8, kBuiltInKey);
        uint8_t iv[8];
        std::copy(std::begin(kBuiltInKey), std::end(kBuiltInKey), iv);
        std::vector<uint8_t> theirs(text.size());
        BF_cbc_encrypt(in, theirs.data(), static_cast<long>(text.size()), &ref, iv, BF_ENCRYPT);
        ASSERT_EQ(ours, theirs) << "length " << text.size();

        BlowfishReset(data);
        for (size_t i = 0; i < ours.size(); i += 8)
            BlowfishDecryptCBC(data, ours.data() + i, ours.data() + i);
        ASSERT_EQ(std::string(ours.begin(), ours.end()), text);
    }
}

// ---- the enciphered text form -----------------------------------------

TEST(EncryptString, MatchesOpenSslAndRoundTripsForEveryLengthUpTo2000) {
    std::mt19937 rng(3);
    for (size_t len = 0; len <= 2000; ++len) {
        // Text bytes are never zero: a zero ends a text in this form.
        const std::string text = RandomBytes(rng, len, false);
        const std::string hex = EncryptString(text);
        ASSERT_EQ(hex.size(), 2 * ((len / 8) * 8 + 16)) << "length " << len;
        ASSERT_EQ(hex, ReferenceEncryptString(text)) << "length " << len;
        ASSERT_EQ(DecryptString(hex), text) << "length " << len;
    }
}

TEST(EncryptString, LengthsAtTheBlockEdgesAndTheOldLimit) {
    EXPECT_EQ(EncryptString("").size(), 32u);
    EXPECT_EQ(DecryptString(EncryptString("")), "");
    EXPECT_EQ(EncryptString("1234567").size(), 32u);
    EXPECT_EQ(EncryptString("12345678").size(), 48u);
    const std::string longest(247, 'z');
    EXPECT_EQ(EncryptString(longest).size(), 512u);
    EXPECT_EQ(DecryptString(EncryptString(longest)), longest);

    // Same key and IV every time: equal texts give equal results.
    EXPECT_EQ(EncryptString("internet"), EncryptString("internet"));
    EXPECT_EQ(EncryptString(""), ReferenceEncryptString(""));
}

TEST(EncryptString, CyrillicTextsRoundTripAsCodePage1251) {
    const std::string text = Utf8ToCp1251("Зентора: подключение установлено");
    const std::string hex = EncryptString(text);
    EXPECT_EQ(hex, ReferenceEncryptString(text));
    EXPECT_EQ(Cp1251ToUtf8(DecryptString(hex)), "Зентора: подключение установлено");
}

TEST(DecryptString, LowerCaseDigitsAndForeignTextsAreHandled) {
    std::string hex = EncryptString("APN list 2.7");
    for (char& c : hex)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(DecryptString(hex), "APN list 2.7");

    // Conversion stops at the first pair that is not hexadecimal; what
    // follows it is never read.
    const std::string enc = EncryptString("abc");
    EXPECT_EQ(DecryptString(enc + "ZZ" + EncryptString("xyz")), "abc");
    // A plain text is not an enciphered one: no error, just some bytes.
    EXPECT_NO_THROW((void)DecryptString("internet\r\n"));
}

TEST(DecryptString, RandomInputOfAnyLengthIsSafe) {
    std::mt19937 rng(4);
    std::uniform_int_distribution<size_t> length(0, 3000);
    static constexpr char kHexChars[] = "0123456789ABCDEFabcdef";
    std::uniform_int_distribution<size_t> hexPick(0, sizeof kHexChars - 2);
    for (int round = 0; round < 400; ++round) {
        const size_t len = length(rng);
        (void)DecryptString(RandomBytes(rng, len, true));
        std::string hex(len, '0');
        for (char& c : hex)
            c = kHexChars[hexPick(rng)];
        const std::string plain = DecryptString(hex);
        // The work area is (len div 8) * 8 + 16 bytes and the result ends at
        // its first zero byte at the latest.
        EXPECT_LE(plain.size(), (len / 8) * 8 + 16);
    }
    for (size_t len = 0; len <= 1100; ++len)
        (void)DecryptString(std::string(len, 'F'));
}

TEST(StoredTextReader, ReadsExactlyWhatEncryptStringMakesAndNothingElse) {
    TStoredTextReader reader;
    // One key schedule for many texts: each is read as if alone.
    for (const std::string& plain : {std::string(), std::string("1234567"), std::string("12345678"),
                                    std::string(247, 'x'), Utf8ToCp1251("Модем на COM3"), std::string(3000, 'q')}) {
        EXPECT_EQ(reader.Read(EncryptString(plain)), plain);
        std::string lower = EncryptString(plain);
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(reader.Read(lower), plain);
    }
    const std::string enc = EncryptString("internet");
    EXPECT_EQ(reader.Read(enc.substr(0, enc.size() - 16)), std::nullopt); // a block lost
    EXPECT_EQ(reader.Read(enc + enc.substr(0, 16)), std::nullopt);       // a block too many
    EXPECT_EQ(reader.Read(enc.substr(0, enc.size() - 1)), std::nullopt); // a digit lost
    std::string changed = enc;
    changed[changed.size() - 3] = changed[changed.size() - 3] == '0' ? '1' : '0';
    EXPECT_EQ(reader.Read(changed), std::nullopt); // the zeros after the text are gone
    EXPECT_EQ(reader.Read(std::string(32, 'G')), std::nullopt);
    EXPECT_EQ(reader.Read("14:05:09 : src: WINVER      code: 501"), std::nullopt);
    EXPECT_EQ(reader.Read(""), std::nullopt);
}

// ---- the support tool --------------------------------------------------

TEST(CipherTool, EncryptsAndDecryptsValuesInUtf8) {
    const std::string hex = RunTool("encrypt 'Модем Зентора'");
    EXPECT_EQ(hex, EncryptString(Utf8ToCp1251("Модем Зентора")) + "\n");
    EXPECT_EQ(RunTool("decrypt " + hex.substr(0, hex.size() - 1)), "Модем Зентора\n");
    EXPECT_EQ(RunTool("decrypt NOT-HEX 2>/dev/null"), "<failed>");
    EXPECT_EQ(RunTool("frobnicate 2>/dev/null"), "<failed>");
    EXPECT_EQ(RunTool("decrypt-log /nonexistent/GPRSlog.log 2>/dev/null"), "<failed>");
}

TEST(CipherTool, AFolderOrATextOutsideCodePage1251IsAnError) {
    EXPECT_EQ(RunTool("decrypt-log /tmp 2>/dev/null"), "<failed>");
    EXPECT_EQ(RunTool("decrypt-log /tmp 2>&1 >/dev/null; test $? -eq 1"), "skyportal-cipher: /tmp is a folder, not a log file\n");
    EXPECT_EQ(RunTool("encrypt '日本' 2>/dev/null"), "<failed>");
    EXPECT_EQ(RunTool("encrypt 'Modem ?' "), EncryptString("Modem ?") + "\n");
}
