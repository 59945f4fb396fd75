#pragma once

#include <string>
#include <vector>

namespace sp {

// The process's command line, set once at start before any thread runs.
// Arguments are taken by position and compared exactly ("/l" is not "/L").
void SetCommandLine(int argc, char** argv);
void SetCommandLine(std::vector<std::string> args); // tests, tools
// Argument i (0 is the program), or the empty text when there is none.
[[nodiscard]] const std::string& ParamStr(int i);
[[nodiscard]] int ParamCount();

// Full path of the running executable (for files kept beside it).
[[nodiscard]] std::string ProgramFile();

} // namespace sp
