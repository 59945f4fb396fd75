#pragma once

#include <set>
#include <string>
#include <string_view>

namespace sp {

// What stands in for a saved password in the report.
inline constexpr std::string_view kMasked = "********";

// The secrets met while the report is made, so that every text of the
// report can be cleaned of them at the end, wherever else they appear
// (a service log line, a user name that is also the password).
class SecretSet {
public:
    // Texts shorter than kMinLength are masked where they stand as a
    // password only: cleaning every "1" or "ab" out of a report would ruin it.
    static constexpr size_t kMinLength = 4;
    void Add(std::string_view secret);
    // The text with every occurrence of a secret masked, longest first.
    [[nodiscard]] std::string Scrub(std::string_view text) const;

private:
    std::set<std::string> secrets_;
};

// The value of a password-like key (Password, Pswd, Secret, in any case and
// inside a longer name; commented out with ';' or '#' too) of an INI-style
// text, and the word after a password word inside any other value, in code page 1251 masked; each
// value (as written and with the phonebook's \xNN escapes undone, in both
// code page 1251 and UTF-8) goes into `found`.
[[nodiscard]] std::string MaskIniPasswords(std::string_view text, SecretSet& found);

// The arguments of the commands that carry a SIM PIN or a lock's password
// (+CPIN, +CPIN2, +CLCK, +CPWD) in an AT command line, wherever one stands in
// the text, masked up to the next ';' or the line's end; each argument goes
// into `found`, so the same digits leave every other text too.
[[nodiscard]] std::string MaskInitSecrets(std::string_view text, SecretSet& found);

// In a setting's value: the word after "password", "passwd" or "pin" (whole
// words, any case; a quoted word whole) masked, and kept in `found`.
[[nodiscard]] std::string MaskSecretWords(std::string_view value, SecretSet& found);

// The "Pswd: " part of a logged dial's parameters masked up to the two
// blanks that end the line.
[[nodiscard]] std::string MaskDialPassword(std::string_view line, SecretSet& found);

} // namespace sp
