#include "platform/base/ProgramInfo.h"

#include <cstdio>
#include <string_view>

namespace sp {

bool AnswerHelpOrVersion(int argc, char** argv, std::string_view name, std::string_view usage)
{
    if (argc < 2 || argv[1] == nullptr)
        return false;
    const std::string_view first = argv[1];
    if (first == "--help") {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        if (!usage.empty() && usage.back() != '\n')
            std::fputc('\n', stdout);
    } else if (first == "--version") {
        const std::string_view version = ProjectVersion();
        std::fprintf(stdout, "%.*s %.*s\n", static_cast<int>(name.size()), name.data(),
                     static_cast<int>(version.size()), version.data());
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}

} // namespace sp
