#pragma once

#include "platform/rasapi/ras.h"

#include <chrono>
#include <string>
#include <vector>

namespace sp {

// What the APN update after a successful dial needs of the program's
// run-time state: whether an update succeeded in this run, and the version
// string it is asked with. Called on the thread that runs the dial's front
// end.
class IApnUpdateHost {
public:
    virtual ~IApnUpdateHost() = default;
    [[nodiscard]] virtual bool APNUpdated() const = 0; // an APN update succeeded in this run
    virtual void SetAPNUpdated(bool value) = 0;
    [[nodiscard]] virtual std::string GetAPNVersionString() const = 0;
    virtual void SetAPNVersion(const std::string& version) = 0;
};

// True when a successful dial is to ask the update server: there is a host
// and no update has succeeded in this run.
[[nodiscard]] bool ApnUpdateDue(const IApnUpdateHost* host);
// Asks the update server about `apns` with the host's version string; a
// success is kept in the host, a failure logged. Only when ApnUpdateDue.
void RunApnUpdate(IApnUpdateHost* host, std::vector<std::string>& apns);

// Hangs up; true when the line is down or there was nothing to do.
bool CloseConnection(HRASCONN hConn);

// One round of the dial and statistics waits, 500 ms. The statistics thread
// sleeps 4 rounds between polls and a refused dial call is repeated after 10
// rounds. Tests shorten it; the counts never change.
void SetConnectionRoundLength(std::chrono::milliseconds round);
[[nodiscard]] std::chrono::milliseconds ConnectionRoundLength();

} // namespace sp
