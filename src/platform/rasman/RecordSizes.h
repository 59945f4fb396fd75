#pragma once

#include "platform/base/MachineRoot.h"

#include <cstdint>

namespace sp::ras {

enum class Record { Conn, ConnStatus, DialParams, EntryName, Entry, DevInfo, Stats };

// The record sizes that the emulated Windows version accepts: its own and
// the older layouts it still understands. Anything else answers 632.
[[nodiscard]] bool SizeAccepted(Record r, uint32_t size, const MachineVersion& v);

// The size of the version's own layout (what a size query reports).
[[nodiscard]] uint32_t NativeSize(Record r, const MachineVersion& v);

} // namespace sp::ras
