#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

// The operator signs each APN list with minisign (Ed25519): the detached
// signature is served beside the list. Its trusted comment, signed too, is
//   skyportal-apn-list version=<version as /apn/ names it> expires=<YYYY-MM-DDTHH:MM:SSZ>
inline constexpr std::string_view kApnListSignaturePath = "/apn/list/sig/";
// A minisign signature is about 300 bytes; anything much larger is not one.
inline constexpr size_t kMaxSignatureLength = 4096;

// The operator's public keys are these files of the keys folder; the second
// is there for a key rotation.
inline constexpr std::array<std::string_view, 2> kListKeyFiles{"apn-list.pub", "apn-list-2.pub"};
inline constexpr std::string_view kListKeysEnvVar = "SKYPORTAL_APN_KEYS";
// Where the package puts them.
inline constexpr std::string_view kInstalledKeysFolder = "/usr/share/skyportal";

struct TListKey {
    std::array<uint8_t, 8> id{};
    std::array<uint8_t, 32> key{};
};

// What the program holds: no key means lists are taken unsigned, as from a
// server that has never signed. A key file that is there but cannot be read
// as a key refuses every list (error says which file).
struct TListKeys {
    std::vector<TListKey> keys;
    std::string error;
    [[nodiscard]] bool Signed() const { return !keys.empty() || !error.empty(); }
};

// The text of a minisign public key file.
[[nodiscard]] std::optional<TListKey> ParseListKey(std::string_view text);
[[nodiscard]] TListKeys LoadListKeys(const std::filesystem::path& folder);
// $SKYPORTAL_APN_KEYS when set and not empty; else share/skyportal beside the
// program's bin/ when it holds a key (an installed tree of any prefix); else
// /usr/share/skyportal (the package's, also for a copy of the program made
// elsewhere).
[[nodiscard]] std::filesystem::path ListKeysFolder();

// The time an expiry is compared with; tests set it (nullopt: the system clock).
void SetListClockForTests(std::optional<std::chrono::system_clock::time_point> now);
[[nodiscard]] std::chrono::system_clock::time_point ListClockNow();

// Checks the signature of the list as served: empty when it was made by one
// of the keys over exactly these bytes, for this version, and has not
// expired; otherwise the reason, in the words of the refusal.
[[nodiscard]] std::string CheckListSignature(std::string_view list, std::string_view signature,
                                             const std::vector<TListKey>& keys, std::string_view version,
                                             std::chrono::system_clock::time_point now);

// Reasons of a refusal (after "Ошибка при получении обновлений: ").
inline constexpr std::string_view kSignatureFetchPrefix = "подпись списка: ";
inline constexpr std::string_view kBadSignatureFormatText = "неверный формат подписи списка";
inline constexpr std::string_view kUnknownKeyText = "список подписан неизвестным ключом";
inline constexpr std::string_view kBadSignatureText = "подпись не соответствует списку";
inline constexpr std::string_view kOtherVersionSignaturePrefix = "подпись выдана для другой версии списка: ";
inline constexpr std::string_view kExpiredSignaturePrefix = "срок действия подписи списка истёк: ";
inline constexpr std::string_view kBadKeyFilePrefix = "ключ подписи не читается: ";

} // namespace sp
