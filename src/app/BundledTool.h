#pragma once

#include <QString>

namespace sp {

// A command-line tool of this package that a tray item runs: named by the
// environment variable `override` if set, else beside the program, in the
// build tree, in the installed bin folder, or on PATH. Empty when none.
// A copy of the program in the copy folder has no tool beside it; the tree
// it was built or installed into has.
[[nodiscard]] QString BundledToolPath(const char* override, const char* name);

} // namespace sp
