#include "ScriptedServer.h"

#include "update/BlockSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace sptest {

std::string NextLoopbackAddress(int first, int count) {
    static std::atomic<int> next{0};
    return "127.0.0." + std::to_string(first + next++ % count);
}

TPeer::~TPeer() {
    Close();
}

std::string TPeer::ReadRequest() {
    std::string request;
    char c;
    while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(FFd, &c, 1, 0);
        if (n <= 0)
            break;
        request.push_back(c);
    }
    FServer.AddRequest(request);
    return request;
}

void TPeer::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return; // the client has gone; the test sees that on its side
        bytes.remove_prefix(static_cast<size_t>(n));
        FServer.CountSent(static_cast<size_t>(n));
    }
}

void TPeer::SendSeparately(std::string_view bytes) {
    Send(bytes);
    FServer.WaitTaken();
}

void TPeer::WaitForClientClose() {
    char buf[4096];
    while (::recv(FFd, buf, sizeof buf, 0) > 0) {
    }
}

void TPeer::Close() {
    if (FFd >= 0) {
        ::close(FFd);
        FFd = -1;
    }
}

void TPeer::Reset() {
    if (FFd >= 0) {
        const linger now{1, 0};
        ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        ::close(FFd);
        FFd = -1;
    }
}

void TPeer::StopListening() {
    FServer.StopListening();
}

TScriptedServer::TScriptedServer(std::string address, std::vector<Script> scripts)
    : FAddress(std::move(address)), FScripts(std::move(scripts)) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(80);
    ::inet_pton(AF_INET, FAddress.c_str(), &sa.sin_addr);
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(FListen, 16) < 0)
        throw std::runtime_error("cannot listen on " + FAddress + ":80: " + std::strerror(errno));
    if (::pipe2(FStopPipe, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe");
    sp::TBlockSocket::SetReceiveHookForTests([this](std::string_view bytes) { CountReceived(bytes.size()); });
    FThread = std::thread([this] { Run(); });
}

TScriptedServer::~TScriptedServer() {
    char stop = 1;
    (void)!::write(FStopPipe[1], &stop, 1);
    FThread.join();
    sp::TBlockSocket::SetReceiveHookForTests(nullptr);
    StopListening();
    ::close(FStopPipe[0]);
    ::close(FStopPipe[1]);
}

void TScriptedServer::Run() {
    for (;;) {
        pollfd p[2] = {{FListen, POLLIN, 0}, {FStopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents != 0)
            return;
        int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const size_t index = static_cast<size_t>(FConnections++);
        TPeer peer(fd, *this);
        if (!FScripts.empty())
            FScripts[std::min(index, FScripts.size() - 1)](peer);
        if (FListen < 0)
            return;
    }
}

// Only on the server's thread, or after it has ended.
void TScriptedServer::StopListening() {
    if (FListen >= 0) {
        ::close(FListen);
        FListen = -1;
    }
}

std::vector<std::string> TScriptedServer::Requests() {
    std::lock_guard lock(FMutex);
    return FRequests;
}

void TScriptedServer::AddRequest(std::string request) {
    std::lock_guard lock(FMutex);
    FRequests.push_back(std::move(request));
}

void TScriptedServer::CountSent(size_t bytes) {
    std::lock_guard lock(FMutex);
    FSent += bytes;
}

void TScriptedServer::CountReceived(size_t bytes) {
    {
        std::lock_guard lock(FMutex);
        FReceived += bytes;
    }
    FTaken.notify_all();
}

void TScriptedServer::WaitTaken() {
    std::unique_lock lock(FMutex);
    if (!FTaken.wait_for(lock, std::chrono::seconds(20), [this] { return FReceived >= FSent; }))
        ADD_FAILURE() << "the client did not take the bytes sent to it";
}

} // namespace sptest
