#include "platform/registry/RegTool.h"

#include "platform/base/Hex.h"

#include "platform/base/Cp1251.h"
#include "platform/registry/RegFile.h"
#include "platform/registry/RegName.h"
#include "platform/registry/Registry.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

namespace sp {

namespace {

constexpr const char* kOk = "The operation completed successfully.";
constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";
constexpr const char* kDenied = "ERROR: Access is denied.";
constexpr const char* kSyntax = "ERROR: Invalid syntax.";

const std::map<std::string, std::string> kUsage = {
    {"query", "skyportal-reg query KEY [/v NAME | /ve]"},
    {"add", "skyportal-reg add KEY [/v NAME | /ve] [/t REG_SZ|REG_BINARY|REG_DWORD] [/d DATA] [/f]"},
    {"delete", "skyportal-reg delete KEY [/v NAME | /ve] [/f]"},
    {"import", "skyportal-reg import FILE"},
    {"export", "skyportal-reg export KEY FILE [/y]"},
    {"access", "skyportal-reg access KEY full|readonly|none|inherit"},
};

// Ends a command with a message on standard error and exit status 1.
struct Failure {
    std::string message;
};

[[noreturn]] void Fail(std::string message) { throw Failure{std::move(message)}; }

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

// The message for a failed registry operation, from its last error.
[[noreturn]] void FailFor(const TRegistry& reg) {
    switch (reg.LastError()) {
    case RegError::AccessDenied:
        Fail(kDenied);
    case RegError::InvalidArgument:
        Fail("ERROR: Invalid key name.");
    case RegError::Storage:
        Fail("ERROR: The registry database could not be read or written.");
    default:
        Fail(kNotFound);
    }
}

struct Options {
    std::vector<std::string> positional;
    std::optional<std::string> value; // /v NAME, or "" for /ve
    std::optional<std::string> type;
    std::optional<std::string> data;
    bool force = false;
    bool overwrite = false;
};

struct SyntaxError {};

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        // Host paths begin with "/" too, so only the known switches count.
        const std::string opt = a.size() >= 2 && (a[0] == '/' || a[0] == '-') ? Lower(a.substr(1)) : std::string();
        if (opt != "v" && opt != "ve" && opt != "t" && opt != "d" && opt != "f" && opt != "y") {
            o.positional.push_back(a);
            continue;
        }
        auto next = [&]() -> std::string {
            if (i + 1 >= args.size())
                throw SyntaxError{};
            return args[++i];
        };
        if (opt == "v" && !o.value)
            o.value = next();
        else if (opt == "ve" && !o.value)
            o.value = std::string();
        else if (opt == "t" && !o.type)
            o.type = next();
        else if (opt == "d" && !o.data)
            o.data = next();
        else if (opt == "f")
            o.force = true;
        else if (opt == "y")
            o.overwrite = true;
        else
            throw SyntaxError{};
    }
    return o;
}

RegHivePath HiveOf(const std::string& key) {
    auto hp = SplitHive(key);
    if (!hp)
        Fail("ERROR: Invalid key name.");
    return *hp;
}

bool Confirm(std::istream& in, std::ostream& out, const std::string& question) {
    out << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(in, answer))
        return false;
    answer = Lower(answer);
    if (!answer.empty() && answer.back() == '\r')
        answer.pop_back();
    return answer == "y" || answer == "yes";
}

std::string TypeName(RegType t) {
    switch (t) {
    case RegType::Sz:
        return "REG_SZ";
    case RegType::Dword:
        return "REG_DWORD";
    default:
        return "REG_BINARY";
    }
}

std::string ValueLine(TRegistry& reg, const std::string& name) {
    const RegType type = reg.GetDataType(name).value_or(RegType::Binary);
    std::string data;
    if (type == RegType::Sz) {
        data = reg.ReadString(name);
    } else if (type == RegType::Dword) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", reg.ReadInteger(name));
        data = buf;
    } else {
        char buf[4];
        for (uint8_t b : reg.ReadBinary(name)) {
            std::snprintf(buf, sizeof buf, "%02X", b);
            data += buf;
        }
    }
    return "    " + (name.empty() ? std::string("(Default)") : name) + "    " + TypeName(type) + "    " + data;
}

void OpenForReading(TRegistry& reg, const RegHivePath& hp) {
    reg.SetRootKey(hp.hive);
    if (!reg.OpenKeyReadOnly(hp.path))
        FailFor(reg);
}

int Query(const Options& o, std::ostream& out) {
    if (o.positional.size() != 1 || o.type || o.data || o.force || o.overwrite)
        throw SyntaxError{};
    const RegHivePath hp = HiveOf(o.positional[0]);
    TRegistry reg;
    OpenForReading(reg, hp);
    std::string text = "\n" + reg.CurrentPath() + "\n";
    if (o.value) {
        if (!reg.ValueExists(*o.value))
            Fail(kNotFound);
        // Shown in its stored spelling, whatever the letter case asked for.
        std::string name = *o.value;
        for (const std::string& stored : reg.GetValueNames())
            if (FoldName(stored) == FoldName(name))
                name = stored;
        text += ValueLine(reg, name) + "\n\n";
    } else {
        for (const std::string& name : reg.GetValueNames())
            text += ValueLine(reg, name) + "\n";
        text += "\n";
        for (const std::string& sub : reg.GetKeyNames())
            text += reg.CurrentPath() + "\\" + sub + "\n";
    }
    out << text;
    return 0;
}

// Decimal, or hexadecimal after "0x": digits only, nothing else.
uint32_t ParseDword(const std::string& s) {
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const std::string_view digits = hex ? std::string_view(s).substr(2) : std::string_view(s);
    uint64_t n = 0;
    bool ok = !digits.empty();
    for (const char c : digits) {
        const int d = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0 || n > 0xFFFFFFFFull) {
            ok = false;
            break;
        }
        n = n * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    }
    if (!ok || n > 0xFFFFFFFFull)
        Fail(std::string(kSyntax) + " Specify a valid numeric value for '/d'.");
    return static_cast<uint32_t>(n);
}

// True when the text survives the code page 1251 of the stored form.
bool FitsCp1251(std::string_view utf8) {
    return Cp1251ToUtf8(Utf8ToCp1251(utf8)) == utf8;
}

std::vector<uint8_t> ParseHexData(const std::string& s) {
    std::vector<uint8_t> bytes;
    auto digit = [&](char c) {
        const int d = HexDigit(c);
        if (d < 0)
            Fail(std::string(kSyntax) + " Specify a valid hexadecimal value for '/d'.");
        return d;
    };
    if (s.size() % 2 != 0)
        Fail(std::string(kSyntax) + " Specify a valid hexadecimal value for '/d'.");
    for (size_t i = 0; i < s.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(digit(s[i]) * 16 + digit(s[i + 1])));
    return bytes;
}

int Add(const Options& o, std::istream& in, std::ostream& out) {
    if (o.positional.size() != 1 || o.overwrite)
        throw SyntaxError{};
    const RegHivePath hp = HiveOf(o.positional[0]);
    const std::string type = o.type ? *o.type : "REG_SZ";
    const std::string typeKey = Lower(type);
    if (typeKey != "reg_sz" && typeKey != "reg_binary" && typeKey != "reg_dword")
        Fail("ERROR: Invalid type " + type + ". Use REG_SZ, REG_BINARY or REG_DWORD.");
    // /t or /d without a name set the default value, as the original does.
    const bool setsValue = o.value || o.type || o.data;
    const std::string name = o.value.value_or(std::string());
    const std::string data = o.data.value_or(std::string());
    // Check the data before anything is created.
    if (!FitsCp1251(hp.path) || !FitsCp1251(name) || (typeKey == "reg_sz" && !FitsCp1251(data)))
        Fail("ERROR: The text has characters that code page 1251 cannot hold.");
    for (std::string_view part : SplitKeyPath(hp.path).parts)
        if (!KeyNameWritable(part) || part.size() > kMaxKeyNameLength)
            Fail("ERROR: Invalid key name.");
    if (SplitKeyPath(hp.path).parts.size() > kMaxKeyDepth)
        Fail("ERROR: The key is more than 512 levels deep.");
    if (setsValue && (!ValueNameWritable(name) || Utf8ToCp1251(name).size() > kMaxValueNameLength))
        Fail("ERROR: Invalid value name.");
    const bool isDword = typeKey == "reg_dword";
    const uint32_t dword = isDword && setsValue ? ParseDword(data) : 0;
    const std::vector<uint8_t> binary = typeKey == "reg_binary" ? ParseHexData(data) : std::vector<uint8_t>();

    TRegistry reg;
    reg.SetRootKey(hp.hive);
    if (!reg.OpenKey(hp.path, true))
        FailFor(reg);
    if (setsValue) {
        if (reg.ValueExists(name) && !o.force &&
            !Confirm(in, out, "Value " + (name.empty() ? std::string("(Default)") : name) + " exists, overwrite")) {
            out << "The operation was cancelled by the user.\n";
            return 1;
        }
        if (isDword)
            reg.WriteInteger(name, dword);
        else if (typeKey == "reg_binary")
            reg.WriteBinaryData(name, binary.data(), static_cast<int>(binary.size()));
        else
            reg.WriteString(name, data);
    }
    out << kOk << "\n";
    return 0;
}

int Delete(const Options& o, std::istream& in, std::ostream& out) {
    if (o.positional.size() != 1 || o.type || o.data || o.overwrite)
        throw SyntaxError{};
    const RegHivePath hp = HiveOf(o.positional[0]);
    TRegistry reg;
    reg.SetRootKey(hp.hive);
    if (o.value) {
        if (!reg.OpenKey(hp.path, false))
            FailFor(reg);
        if (!reg.ValueExists(*o.value))
            Fail(kNotFound);
        if (!o.force && !Confirm(in, out, "Delete the registry value " +
                                              (o.value->empty() ? std::string("(Default)") : *o.value))) {
            out << "The operation was cancelled by the user.\n";
            return 1;
        }
        if (!reg.DeleteValue(*o.value))
            FailFor(reg);
    } else {
        if (!reg.KeyExists(hp.path))
            FailFor(reg);
        if (SplitKeyPath(hp.path).parts.empty())
            Fail(kDenied);
        if (!o.force && !Confirm(in, out, "Permanently delete the registry key " + o.positional[0])) {
            out << "The operation was cancelled by the user.\n";
            return 1;
        }
        if (!reg.DeleteKey(hp.path))
            FailFor(reg);
    }
    out << kOk << "\n";
    return 0;
}

// Ends an import inside its transaction, so nothing of it is kept.
struct ImportRefused {};

void ApplyKey(TRegistry& reg, const RegFileKey& key, std::string& failure) {
    const auto hp = SplitHive(key.path);
    if (!hp) {
        failure = "ERROR: Invalid key name " + key.path + " in line " + std::to_string(key.line) + ".";
        throw ImportRefused{};
    }
    auto refuse = [&] {
        failure = reg.LastError() == RegError::AccessDenied ? std::string(kDenied)
                                                            : "ERROR: Cannot write " + key.path + ".";
        throw ImportRefused{};
    };
    reg.SetRootKey(hp->hive);
    if (key.remove) {
        if (reg.KeyExists(hp->path) && !reg.DeleteKey(hp->path))
            refuse();
        return;
    }
    if (!reg.OpenKey(hp->path, true))
        refuse();
    for (const RegFileValue& v : key.values) {
        if (!ValueNameWritable(v.name) || Utf8ToCp1251(v.name).size() > kMaxValueNameLength) {
            failure = "ERROR: Invalid value name under " + key.path + " in line " + std::to_string(key.line) + ".";
            throw ImportRefused{};
        }
        if (v.remove) {
            if (reg.ValueExists(v.name) && !reg.DeleteValue(v.name))
                refuse();
        } else if (v.type == RegType::Sz) {
            reg.WriteString(v.name, Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(v.data.data()),
                                                                  v.data.size())));
        } else if (v.type == RegType::Dword) {
            reg.WriteInteger(v.name, static_cast<uint32_t>(v.data[0] | v.data[1] << 8 | v.data[2] << 16 |
                                                           static_cast<uint32_t>(v.data[3]) << 24));
        } else {
            reg.WriteBinaryData(v.name, v.data.data(), static_cast<int>(v.data.size()));
        }
    }
}

int Import(const Options& o, std::ostream& out) {
    if (o.positional.size() != 1 || o.value || o.type || o.data || o.force || o.overwrite)
        throw SyntaxError{};
    std::ifstream f(o.positional[0], std::ios::binary);
    if (!f)
        Fail("ERROR: Error opening the file. There may be a disk or file system error.");
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    RegFileContent content;
    try {
        content = ParseRegFile(text);
    } catch (const ERegFileSyntax& e) {
        Fail("ERROR: " + o.positional[0] + ": " + e.what());
    }
    TRegistry reg;
    std::string failure;
    try {
        // All of the file or nothing: a refusal half-way leaves the registry
        // as it was.
        reg.Atomically([&] {
            for (const RegFileKey& key : content.keys)
                ApplyKey(reg, key, failure);
        });
    } catch (const ImportRefused&) {
        Fail(failure);
    }
    out << kOk << "\n";
    return 0;
}

// Walks the tree from the current key when it is the parent (the first
// subkey, a step of one level), else from the root, so that a chain of keys
// costs its length and not its length squared.
void Collect(TRegistry& reg, RegHive hive, const std::string& path, std::string_view relative,
             RegFileContent& content) {
    reg.SetRootKey(hive);
    if (!(relative.empty() ? reg.OpenKeyReadOnly(path.empty() ? std::string("\\") : path)
                           : reg.OpenKeyReadOnly(relative)))
        FailFor(reg);
    RegFileKey key;
    key.path = reg.CurrentPath();
    for (const std::string& name : reg.GetValueNames()) {
        RegFileValue v;
        v.name = name;
        v.type = reg.GetDataType(name).value_or(RegType::Binary);
        v.data = reg.ReadBinary(name);
        key.values.push_back(std::move(v));
    }
    content.keys.push_back(std::move(key));
    bool first = true;
    for (const std::string& sub : reg.GetKeyNames()) {
        Collect(reg, hive, path + "\\" + sub, first ? std::string_view(sub) : std::string_view(), content);
        first = false;
    }
}

int Export(const Options& o, std::istream& in, std::ostream& out) {
    if (o.positional.size() != 2 || o.value || o.type || o.data || o.force)
        throw SyntaxError{};
    const RegHivePath hp = HiveOf(o.positional[0]);
    const std::string& file = o.positional[1];
    TRegistry reg;
    RegFileContent content;
    Collect(reg, hp.hive, hp.path == "\\" ? std::string() : hp.path, {}, content);
    std::error_code ec;
    if (!o.overwrite && std::filesystem::exists(file, ec) &&
        !Confirm(in, out, "File " + file + " already exists. Overwrite")) {
        out << "The operation was cancelled by the user.\n";
        return 1;
    }
    // Write beside the target and rename, so a failed export never leaves a
    // half file in place of a good one.
    const std::string tmp = file + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << FormatRegFile(content);
        f.flush();
        if (!f)
            Fail("ERROR: Error opening the file. There may be a disk or file system error.");
    }
    std::filesystem::rename(tmp, file, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        Fail("ERROR: Error opening the file. There may be a disk or file system error.");
    }
    out << kOk << "\n";
    return 0;
}

int Access(const Options& o, std::ostream& out) {
    if (o.positional.size() != 2 || o.value || o.type || o.data || o.force || o.overwrite)
        throw SyntaxError{};
    const RegHivePath hp = HiveOf(o.positional[0]);
    const std::string mode = Lower(o.positional[1]);
    TRegistry reg;
    reg.SetRootKey(hp.hive);
    if (mode == "full")
        reg.SetAccess(hp.path, RegAccess::Full);
    else if (mode == "readonly")
        reg.SetAccess(hp.path, RegAccess::ReadOnly);
    else if (mode == "none")
        reg.SetAccess(hp.path, RegAccess::None);
    else if (mode == "inherit") {
        if (!reg.ClearAccess(hp.path))
            FailFor(reg);
    } else
        throw SyntaxError{};
    out << kOk << "\n";
    return 0;
}

void PrintUsage(std::ostream& s) {
    s << "Usage:\n";
    for (const char* c : {"query", "add", "delete", "import", "export", "access"})
        s << "  " << kUsage.at(c) << "\n";
    s << "KEY begins with HKLM (HKEY_LOCAL_MACHINE) or HKDD (HKEY_DYN_DATA).\n";
}

} // namespace

std::string RegToolUsage() {
    std::ostringstream s;
    PrintUsage(s);
    return s.str();
}

int RunRegTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    const std::string command = args.empty() ? std::string() : Lower(args[0]);
    if (command == "/?" || command == "-?" || command == "--help") {
        PrintUsage(out);
        return 0;
    }
    try {
        const Options o = ParseOptions(args);
        if (command == "query")
            return Query(o, out);
        if (command == "add")
            return Add(o, in, out);
        if (command == "delete")
            return Delete(o, in, out);
        if (command == "import")
            return Import(o, out);
        if (command == "export")
            return Export(o, in, out);
        if (command == "access")
            return Access(o, out);
        throw SyntaxError{};
    } catch (const SyntaxError&) {
        err << kSyntax << "\n";
        if (auto it = kUsage.find(command); it != kUsage.end())
            err << "Usage: " << it->second << "\n";
        else
            PrintUsage(err);
    } catch (const Failure& f) {
        out.flush();
        err << f.message << "\n";
    } catch (const std::exception& e) {
        err << "ERROR: " << e.what() << "\n";
    }
    return 1;
}

} // namespace sp
