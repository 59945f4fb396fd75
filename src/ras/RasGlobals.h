#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>

#include "platform/system/TCriticalSection.h"

namespace sp {

// The process's one global lock; a class of its own so its users are easy to find.
class Tcs : public TCriticalSection {};

// Process-wide values, set once by InitRasGlobals() on the main thread before
// the main window exists, and kept to the end of the process.

// Emulated Windows version, major * 100 + minor (400, 410, 490, 500, 501).
extern uint32_t WinVersion;
// The remote access client library (dlopen handle), nullptr when it did not
// load. Never closed.
extern void* hRasApi;
// Rounds of 500 ms the next readiness probe may wait: 120 after a start with
// "/auto", else 20; every probe sets it back to 20.
extern std::atomic<int32_t> RasWaitRounds;
// Guards the progress window's shared texts.
extern Tcs GlobalLock;

// In this order: WinVersion from the machine root, hRasApi, RasWaitRounds
// from argument 1 (exactly "/auto"). GlobalLock is a static object.
void InitRasGlobals();

// Loads the client library (beside the program, else SKYPORTAL_BIN_DIR);
// nullptr on failure, which callers learn about at their first call.
[[nodiscard]] void* LoadRasLibrary();

// A missing library or a function the library does not export.
class ERasBinding : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Looks a function up by its exported name in hRasApi, anew on each call.
// Throws ERasBinding when the library is not loaded or lacks the name.
[[nodiscard]] void* RasProc(const char* name);

template <class Fn>
[[nodiscard]] Fn RasProcAs(const char* name)
{
    return reinterpret_cast<Fn>(RasProc(name));
}

} // namespace sp
