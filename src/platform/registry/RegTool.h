#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace sp {

// The skyportal-reg command: args without the program name. Questions
// (overwrite? delete?) are answered from in. Returns the exit status.
int RunRegTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

// The usage text (skyportal-reg --help, /?).
[[nodiscard]] std::string RegToolUsage();

} // namespace sp
