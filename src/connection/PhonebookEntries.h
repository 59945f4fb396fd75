#pragma once

#include "connection/TRasEntryRecord.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

class IConnectionQuestion;

// The two GPRS dial numbers, in the order they are tried.
inline constexpr std::array<std::string_view, 2> PhoneNumbers = {"*99***1#", "*99#"};
// User name and password of the operator's service (one value for both).
inline constexpr std::string_view DialUserName = "vexul";

[[nodiscard]] std::string OperatorEntryName();
[[nodiscard]] bool IsKnownPhoneNumber(std::string_view number);

// All operations pick the variant of the emulated Windows family (WinVersion)
// and take and give UTF-8 texts. Entry names in the records are the
// service's 8-bit texts.

// Properties of an entry fit to dial on `modem`: the remembered entry when it
// uses the modem (repaired), else another entry of the modem's (repaired),
// else a new operator entry. `entryName` is rewritten when another entry is
// used (empty when the new entry could not be written). Null only after an
// unexpected error (logged).
[[nodiscard]] TRasEntryPtr CheckConnName(std::string_view modem, std::string& entryName);

// An entry that already uses `modem` and whose saved user name is the
// operator's or empty; its name and properties come back.
bool FindAnotherConn(std::string_view modem, std::string& entryName, TRasEntryPtr& record);

// Creates the operator's entry for `modem`. `entryName` is empty when the
// service refused it; the record is returned all the same.
void CreateConnection(std::string_view modem, TRasEntryPtr& record, std::string& entryName);

// Writes the operator's required properties into `record` and stores it as
// entry `entryName`; the number is replaced when `forcePhone` or when it is
// not one of PhoneNumbers. True when the service accepted it.
bool RepairProp(TRasEntryRecord& record, std::string_view entryName, std::string_view modem, bool forcePhone);

// The handle of an active connection on `modem` that may be used as it is:
// one whose modem is programmed with an APN of `apns`, or a foreign one the
// user chose to keep (then `entryName` becomes its entry). 0 when there is
// none, or the user had it hung up. `question` is asked about a foreign
// link; without one the link is kept.
[[nodiscard]] HRASCONN CheckAlreadyConnected(std::string_view modem, std::string& entryName,
                                             const std::vector<std::string>& apns,
                                             IConnectionQuestion* question = nullptr);

// The APN a modem init string made from AT+CGDCONT=1,"IP","<apn>" carries:
// characters 20 to the second-to-last (one-based); empty when shorter.
[[nodiscard]] std::string ApnFromInitString(std::string_view init);

} // namespace sp
