#pragma once

#include "update/BlockSocket.h"

#include <string_view>

namespace sp {

// A TCP client connection over IPv4.
class TTCPBlockSocket : public TBlockSocket {
public:
    // Resolves the host, connects and waits for the connection (the system's
    // connect time-out applies). An open connection is closed first.
    void ConnectTo(std::string_view host, std::string_view port);
};

} // namespace sp
