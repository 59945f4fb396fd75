#pragma once

#include <string_view>

namespace sp {

// The project's version, four components: the FileVersion the build writes
// into the program, and what every command prints for --version.
[[nodiscard]] std::string_view ProjectVersion();

// The two questions every command answers, and only as its first argument
// (the program's own switches count by position): "--help" prints `usage`,
// "--version" prints "<name> <version>", both on standard output. True when
// one was answered: the caller then ends with exit code 0 before doing
// anything else.
[[nodiscard]] bool AnswerHelpOrVersion(int argc, char** argv, std::string_view name, std::string_view usage);

} // namespace sp
