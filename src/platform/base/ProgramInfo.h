#pragma once

#include <sys/types.h>

#include <functional>
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

// Every program calls this first, before it creates anything: from then on
// what it creates is its user's alone (077), whatever mode a call names and
// whatever umask it was started with.
void UsePrivateUmask();

// Runs `spawn` under the umask the program was started with, for what is
// started on the user's behalf (a browser, pppd and its scripts): their files
// are not ours to make private. The change is process-wide for the moment of
// the call, so our own files name their modes and never rely on the umask.
int SpawnWithStartingUmask(const std::function<int()>& spawn);

} // namespace sp
