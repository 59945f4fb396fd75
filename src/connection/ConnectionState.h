#pragma once

#include "platform/rasapi/ras.h"

namespace sp {

// True when the connection's state is connected; false on any service error
// (logged) or unexpected error (logged).
[[nodiscard]] bool ConnIsOpen(HRASCONN hConn);

} // namespace sp
