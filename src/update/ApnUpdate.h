#pragma once

#include "update/ListSignature.h"

#include <string>
#include <string_view>
#include <vector>

namespace sp {

// The operator's update server: $SKYPORTAL_UPDATE_HOST when set and not
// empty, else the built-in host. Always reached on port 80.
inline constexpr std::string_view kDefaultUpdateHost = "update.zentora.example";
[[nodiscard]] std::string UpdateServerHost();

// Resources on the update server.
inline constexpr std::string_view kApnVersionPath = "/apn/";
inline constexpr std::string_view kApnListPath = "/apn/list/";
inline constexpr std::string_view kFirstStartPath = "/apn/first/";

// Texts of the outcome, as they reach the message.
inline constexpr std::string_view kNoUpdateNeededText = "Обновление списка APN не требуется";
inline constexpr std::string_view kRequestFailedPrefix = "Ошибка при запросе обновлений: ";
inline constexpr std::string_view kReceiveFailedPrefix = "Ошибка при получении обновлений: ";
inline constexpr std::string_view kBadFormatText = "Ошибка при получении обновлений: неверный формат ответа";
inline constexpr std::string_view kOtherProgramVersionText =
    "Ошибка при получении обновлений: версия приложения отличается от запрошенной";
// A list refused whole: a line that is not an APN (its number follows, counted
// from 1 over every line of the answer), or more than kMaxApnCount APNs.
inline constexpr std::string_view kBadApnLinePrefix = "Ошибка при получении обновлений: неверный APN в строке ";
inline constexpr std::string_view kTooManyApnsText = "Ошибка при получении обновлений: в списке больше 100 APN";

// Asks the server whether its APN list is newer than the local one.
// version: in "<program version>.<APN version>", out the server's value
// when its APN version is greater (a character comparison).
// apns: replaced by the served list only when takeList is true and every
// line of it is an APN (see IsApn), at most kMaxApnCount of them.
// message: "Обновление списка APN не требуется", or the failure text;
// left unchanged after an update.
// True when the check completed (updated or not needed). Blocks the caller
// for the network exchange.
// With the operator's keys (those of ListKeysFolder() unless given), a newer
// version counts only with its list: the list and its signature are read,
// whatever takeList says, and the check fails unless the signature verifies
// (see CheckListSignature) and the list is one the program would take.
[[nodiscard]] bool UpdateAPNList(std::string& version, std::vector<std::string>& apns, std::string& message,
                                 bool takeList);
[[nodiscard]] bool UpdateAPNList(std::string_view host, std::string& version, std::vector<std::string>& apns,
                                 std::string& message, bool takeList);
[[nodiscard]] bool UpdateAPNList(std::string_view host, std::string& version, std::vector<std::string>& apns,
                                 std::string& message, bool takeList, const TListKeys& keys);

// Requests the first-start resource. body: emptied, then the whole response
// body on success; error: "" on success, else the failure text.
void ReportFirstStart(std::string& error, std::string& body);
void ReportFirstStart(std::string_view host, std::string& error, std::string& body);

} // namespace sp
