#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sptest {

// "127.0.0.<n>" with a fresh n from [first, first + count) on every call, so
// servers of one test program never share an address and test programs
// given different ranges can run side by side.
std::string NextLoopbackAddress(int first, int count);

// One accepted connection, as the server's script sees it.
class TPeer {
public:
    TPeer(int fd, class TScriptedServer& server) : FFd(fd), FServer(server) {}
    ~TPeer();
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;

    // Reads up to and including the empty line that ends the request.
    std::string ReadRequest();
    void Send(std::string_view bytes);
    // Sends, then waits until the client's socket has received every byte
    // sent so far, so the next bytes arrive in a reception of their own.
    void SendSeparately(std::string_view bytes);
    // Waits until the client closes its side (or the connection breaks).
    void WaitForClientClose();
    void Close();
    // Ends the connection with a reset (RST) instead of an orderly close.
    void Reset();
    // Closes the server's listening socket: later connections are refused.
    void StopListening();

private:
    int FFd;
    TScriptedServer& FServer;
};

// A TCP server on <address>:80 in a thread of its own. Connection i is
// served by scripts[i] (the last script serves any further connections);
// the connection is closed when its script returns.
class TScriptedServer {
public:
    using Script = std::function<void(TPeer&)>;

    TScriptedServer(std::string address, std::vector<Script> scripts);
    ~TScriptedServer();
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;

    [[nodiscard]] const std::string& Address() const { return FAddress; }
    [[nodiscard]] std::string Url(std::string_view path) const { return "http://" + FAddress + std::string(path); }
    // Requests read by ReadRequest, in order.
    [[nodiscard]] std::vector<std::string> Requests();
    [[nodiscard]] int Connections() const { return FConnections; }

private:
    friend class TPeer;
    void Run();
    void AddRequest(std::string request);
    void CountSent(size_t bytes);
    void WaitTaken();
    void CountReceived(size_t bytes);
    void StopListening();

    std::string FAddress;
    std::vector<Script> FScripts;
    int FListen = -1;
    int FStopPipe[2] = {-1, -1};
    std::atomic<int> FConnections{0};
    std::mutex FMutex;
    std::condition_variable FTaken;
    std::vector<std::string> FRequests;
    size_t FSent = 0;
    size_t FReceived = 0;
    std::thread FThread;
};

} // namespace sptest
