#pragma once

#include "platform/rasapi/RasProtocol.h"

#include <string>

namespace sp::ras {

// The library's side of the socket: a small pool of connections to the
// daemon, started on demand. Thread-safe.
class RasClient {
public:
    static RasClient& Instance();

    // One request and its reply. False when no daemon could be reached, it
    // went away during the call or did not answer within kReplyTimeout (the
    // caller answers 711).
    bool Call(Msg type, const std::string& payload, Frame& reply);

    // A connection of its own (for a dial's reports); -1 when none.
    int Open();

private:
    int Acquire();
    void Release(int fd);
    int ConnectOrStart();
};

// Starts rasman for the current machine root unless one answers; waits
// until it accepts connections. False when it could not be started.
bool StartService();

} // namespace sp::ras
