#include "platform/base/CommandLine.h"

#include <filesystem>
#include <system_error>

namespace sp {
namespace {
std::vector<std::string>& Args() {
    static std::vector<std::string> args;
    return args;
}
} // namespace

void SetCommandLine(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.emplace_back(argv[i]);
    SetCommandLine(std::move(args));
}

void SetCommandLine(std::vector<std::string> args) { Args() = std::move(args); }

const std::string& ParamStr(int i) {
    static const std::string empty;
    const auto& a = Args();
    return i >= 0 && static_cast<size_t>(i) < a.size() ? a[static_cast<size_t>(i)] : empty;
}

int ParamCount() { return Args().empty() ? 0 : static_cast<int>(Args().size()) - 1; }

std::string ProgramFile() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

} // namespace sp
