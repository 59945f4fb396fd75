#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sp {

// Byte strings (code page 1251) <-> upper-case hexadecimal Blowfish-CBC text
// under the program's built-in key and IV. Equal texts give equal results.
// Any length is accepted; neither function reports errors.
//
// The result of EncryptString has 2n digits with n = (len div 8) * 8 + 16:
// the text, zero-padded, its terminating zero always enciphered.
[[nodiscard]] std::string EncryptString(std::string_view plain);
// Stops converting at the first pair that is not two hexadecimal digits
// (either letter case); returns the deciphered bytes up to the first zero.
[[nodiscard]] std::string DecryptString(std::string_view hex);

// Reads stored texts strictly, for readers that must tell an enciphered text
// from anything else (a plain value, a damaged log line): the bytes that
// EncryptString was given, or nothing when hex is not exactly what
// EncryptString makes (hexadecimal digits of either case, whole blocks, at
// least two, the text's zero and only zeros after it). One key schedule
// serves every call, so thousands of log lines cost little more than their
// blocks. Not shared between threads.
class TStoredTextReader {
public:
    TStoredTextReader();
    ~TStoredTextReader();
    TStoredTextReader(const TStoredTextReader&) = delete;
    TStoredTextReader& operator=(const TStoredTextReader&) = delete;

    [[nodiscard]] std::optional<std::string> Read(std::string_view hex);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

} // namespace sp
