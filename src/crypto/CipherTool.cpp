// skyportal-cipher: the support service's view of enciphered log lines and
// registry values.
#include "crypto/uEncrypt.h"
#include "platform/base/ProgramInfo.h"
#include "platform/base/Cp1251.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "usage: skyportal-cipher decrypt-log [FILE]   print a log file (or standard input) in plain text\n"
    "       skyportal-cipher decrypt HEX          print one deciphered value\n"
    "       skyportal-cipher encrypt TEXT         print the enciphered form of a text\n";

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// What EncryptString makes: whole blocks, at least two, upper-case digits.
bool IsEnciphered(std::string_view line) {
    if (line.size() < 32 || line.size() % 16 != 0)
        return false;
    for (char c : line)
        if (!IsUpperHex(c))
            return false;
    return true;
}

bool IsHex(std::string_view text) {
    if (text.empty() || text.size() % 2 != 0)
        return false;
    for (char c : text)
        if (!IsUpperHex(c) && !(c >= 'a' && c <= 'f'))
            return false;
    return true;
}

// False when the input could not be read to its end.
bool DecryptLog(std::istream& in) {
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (IsEnciphered(line))
            std::cout << sp::Cp1251ToUtf8(sp::DecryptString(line)) << '\n';
        else
            std::cout << line << '\n';
    }
    return !in.bad();
}

int Fail(const std::string& message) {
    std::cerr << "skyportal-cipher: " << message << '\n';
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    sp::UsePrivateUmask();
    if (sp::AnswerHelpOrVersion(argc, argv, "skyportal-cipher", kUsage))
        return 0;
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "decrypt-log" && argc <= 3) {
        if (argc == 3) {
            // A folder opens like a file here and then reads as nothing.
            std::error_code ec;
            if (std::filesystem::is_directory(argv[2], ec))
                return Fail(std::string(argv[2]) + " is a folder, not a log file");
            std::ifstream file(argv[2], std::ios::binary);
            if (!file)
                return Fail(std::string("cannot open ") + argv[2]);
            if (!DecryptLog(file))
                return Fail(std::string("cannot read ") + argv[2]);
        } else if (!DecryptLog(std::cin)) {
            return Fail("cannot read the standard input");
        }
    } else if (command == "decrypt" && argc == 3) {
        if (!IsHex(argv[2]))
            return Fail("not a hexadecimal text: " + std::string(argv[2]));
        std::cout << sp::Cp1251ToUtf8(sp::DecryptString(argv[2])) << '\n';
    } else if (command == "encrypt" && argc == 3) {
        // The stored form is code page 1251; a "?" in place of a letter would
        // be enciphered without a word.
        const std::string text = sp::Utf8ToCp1251(argv[2]);
        if (sp::Cp1251ToUtf8(text) != argv[2])
            return Fail("the text has characters that code page 1251 cannot hold");
        std::cout << sp::EncryptString(text) << '\n';
    } else {
        std::cerr << kUsage;
        return 1;
    }
    std::cout.flush();
    return std::cout ? 0 : Fail("cannot write the output");
}
