#include "update/ListSignature.h"

#include "platform/base/CommandLine.h"

#include <openssl/evp.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace sp {

namespace {

// Keys and signatures of the minisign format: "Ed" + key id + key, and
// algorithm + key id + signature, each as one line of base64.
constexpr size_t kKeyBytes = 2 + 8 + 32;
constexpr size_t kSignatureBytes = 2 + 8 + 64;
constexpr size_t kGlobalSignatureBytes = 64;
// A key file is two short lines.
constexpr std::uintmax_t kMaxKeyFileLength = 1024;

constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::string_view kCommentName = "skyportal-apn-list version=";
constexpr std::string_view kCommentExpires = " expires=";
constexpr size_t kMaxVersionLength = 64;

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Standard base64 with padding, exactly `size` bytes, nothing else.
std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text, size_t size) {
    if (text.size() != (size + 2) / 3 * 4)
        return std::nullopt;
    const size_t padding = (3 - size % 3) % 3;
    std::vector<uint8_t> out;
    out.reserve(size + padding);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        for (size_t j = 0; j < 4; ++j) {
            const bool padded = i + 4 == text.size() && j >= 4 - padding;
            const int v = padded ? (text[i + j] == '=' ? 0 : -1) : Base64Value(text[i + j]);
            if (v < 0)
                return std::nullopt;
            group = group << 6 | static_cast<uint32_t>(v);
        }
        out.push_back(static_cast<uint8_t>(group >> 16));
        out.push_back(static_cast<uint8_t>(group >> 8));
        out.push_back(static_cast<uint8_t>(group));
    }
    // The bits under the padding are zero in the one encoding of these bytes.
    for (size_t k = 0; k < padding; ++k)
        if (out[size + k] != 0)
            return std::nullopt;
    out.resize(size);
    return out;
}

// The lines of a small text file; a CR before each LF is dropped, the last
// line may lack its LF.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

struct TPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct TMdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

bool VerifyEd25519(const std::array<uint8_t, 32>& key, const uint8_t* signature, const uint8_t* message,
                   size_t length) {
    std::unique_ptr<EVP_PKEY, TPkeyFree> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    std::unique_ptr<EVP_MD_CTX, TMdCtxFree> ctx(EVP_MD_CTX_new());
    if (!pkey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), signature, kGlobalSignatureBytes, message, length) == 1;
}

std::optional<std::array<uint8_t, 64>> Blake2b512(std::string_view data) {
    std::array<uint8_t, 64> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_blake2b512(), nullptr) != 1 ||
        length != digest.size())
        return std::nullopt;
    return digest;
}

bool IsVersionChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-';
}

std::optional<int> Digits(std::string_view s) {
    int v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

// "YYYY-MM-DDTHH:MM:SSZ", a real moment of UTC.
std::optional<std::chrono::system_clock::time_point> ParseUtc(std::string_view s) {
    if (s.size() != 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
        s[19] != 'Z')
        return std::nullopt;
    const auto year = Digits(s.substr(0, 4));
    const auto month = Digits(s.substr(5, 2));
    const auto day = Digits(s.substr(8, 2));
    const auto hour = Digits(s.substr(11, 2));
    const auto minute = Digits(s.substr(14, 2));
    const auto second = Digits(s.substr(17, 2));
    if (!year || !month || !day || !hour || !minute || !second || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(*year), std::chrono::month(unsigned(*month)),
                                           std::chrono::day(unsigned(*day))};
    if (!date.ok())
        return std::nullopt;
    return std::chrono::sys_days(date) + std::chrono::hours(*hour) + std::chrono::minutes(*minute) +
           std::chrono::seconds(*second);
}

std::atomic<int64_t> gClockForTests{0};
std::atomic<bool> gClockSet{false};

} // namespace

std::optional<TListKey> ParseListKey(std::string_view text) {
    const auto lines = Lines(text);
    if (lines.size() != 2 || !lines[0].starts_with(kUntrustedPrefix))
        return std::nullopt;
    const auto bytes = DecodeBase64(lines[1], kKeyBytes);
    if (!bytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd')
        return std::nullopt;
    TListKey key;
    std::memcpy(key.id.data(), bytes->data() + 2, key.id.size());
    std::memcpy(key.key.data(), bytes->data() + 10, key.key.size());
    return key;
}

TListKeys LoadListKeys(const std::filesystem::path& folder) {
    TListKeys result;
    for (const std::string_view name : kListKeyFiles) {
        const std::filesystem::path file = folder / name;
        std::error_code ec;
        if (!std::filesystem::exists(file, ec))
            continue;
        std::optional<TListKey> key;
        const auto size = std::filesystem::file_size(file, ec);
        if (!ec && size <= kMaxKeyFileLength) {
            std::ifstream in(file, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (in.good() || in.eof())
                key = ParseListKey(text);
        }
        if (key)
            result.keys.push_back(*key);
        else if (result.error.empty())
            result.error = std::string(kBadKeyFilePrefix) + file.string();
    }
    return result;
}

std::filesystem::path ListKeysFolder() {
    if (const char* env = std::getenv(std::string(kListKeysEnvVar).c_str()); env != nullptr && *env != '\0')
        return env;
    const std::string program = ProgramFile();
    if (!program.empty()) {
        const auto beside = std::filesystem::path(program).parent_path().parent_path() / "share" / "skyportal";
        std::error_code ec;
        for (const std::string_view name : kListKeyFiles)
            if (std::filesystem::exists(beside / name, ec))
                return beside;
    }
    return std::filesystem::path(kInstalledKeysFolder);
}

void SetListClockForTests(std::optional<std::chrono::system_clock::time_point> now) {
    if (now)
        gClockForTests = std::chrono::duration_cast<std::chrono::seconds>(now->time_since_epoch()).count();
    gClockSet = now.has_value();
}

std::chrono::system_clock::time_point ListClockNow() {
    if (gClockSet)
        return std::chrono::system_clock::time_point(std::chrono::seconds(gClockForTests.load()));
    return std::chrono::system_clock::now();
}

std::string CheckListSignature(std::string_view list, std::string_view signature,
                               const std::vector<TListKey>& keys, std::string_view version,
                               std::chrono::system_clock::time_point now) {
    const auto lines = Lines(signature);
    if (lines.size() != 4 || !lines[0].starts_with(kUntrustedPrefix) || !lines[2].starts_with(kTrustedPrefix))
        return std::string(kBadSignatureFormatText);
    const auto sig = DecodeBase64(lines[1], kSignatureBytes);
    const auto global = DecodeBase64(lines[3], kGlobalSignatureBytes);
    if (!sig || !global)
        return std::string(kBadSignatureFormatText);
    // "ED": over the BLAKE2b-512 of the file (minisign's default); "Ed": over the file.
    const bool prehashed = (*sig)[0] == 'E' && (*sig)[1] == 'D';
    const bool legacy = (*sig)[0] == 'E' && (*sig)[1] == 'd';
    if (!prehashed && !legacy)
        return std::string(kBadSignatureFormatText);

    const TListKey* key = nullptr;
    for (const TListKey& k : keys)
        if (std::memcmp(k.id.data(), sig->data() + 2, k.id.size()) == 0)
            key = &k;
    if (key == nullptr)
        return std::string(kUnknownKeyText);

    const uint8_t* signatureBytes = sig->data() + 10;
    if (prehashed) {
        const auto digest = Blake2b512(list);
        if (!digest || !VerifyEd25519(key->key, signatureBytes, digest->data(), digest->size()))
            return std::string(kBadSignatureText);
    } else if (!VerifyEd25519(key->key, signatureBytes, reinterpret_cast<const uint8_t*>(list.data()),
                              list.size())) {
        return std::string(kBadSignatureText);
    }

    // The trusted comment is signed together with the signature above.
    const std::string_view comment = lines[2].substr(kTrustedPrefix.size());
    std::vector<uint8_t> signedComment(signatureBytes, signatureBytes + 64);
    signedComment.insert(signedComment.end(), comment.begin(), comment.end());
    if (!VerifyEd25519(key->key, global->data(), signedComment.data(), signedComment.size()))
        return std::string(kBadSignatureText);

    if (!comment.starts_with(kCommentName))
        return std::string(kBadSignatureFormatText);
    const std::string_view rest = comment.substr(kCommentName.size());
    const size_t blank = rest.find(' ');
    const std::string_view signedVersion = rest.substr(0, blank);
    if (blank == std::string_view::npos || signedVersion.empty() || signedVersion.size() > kMaxVersionLength)
        return std::string(kBadSignatureFormatText);
    for (const char c : signedVersion)
        if (!IsVersionChar(c))
            return std::string(kBadSignatureFormatText);
    const std::string_view expiresPart = rest.substr(blank);
    if (!expiresPart.starts_with(kCommentExpires))
        return std::string(kBadSignatureFormatText);
    const std::string_view expiresText = expiresPart.substr(kCommentExpires.size());
    const auto expires = ParseUtc(expiresText);
    if (!expires)
        return std::string(kBadSignatureFormatText);

    if (signedVersion != version)
        return std::string(kOtherVersionSignaturePrefix) + std::string(signedVersion);
    if (now >= *expires)
        return std::string(kExpiredSignaturePrefix) + std::string(expiresText);
    return {};
}

} // namespace sp
