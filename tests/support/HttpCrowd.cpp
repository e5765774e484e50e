// SPDX-License-Identifier: GPL-3.0-or-later
#include "HttpCrowd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace VarnelHttp {

namespace {

using TClock = std::chrono::steady_clock;

const std::string Request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";

enum class TKind
{
    Idle,
    Slow,
    Pipelining,
};

struct TClient
{
    TKind Kind = TKind::Idle;
    int Fd = -1;
    bool Connecting = false;
    bool EverConnected = false;
    size_t Sent = 0; // bytes of this connection's requests sent
    TClock::time_point NextByte{};
};

// A non-blocking connect to 127.0.0.1:port; -1 when no socket is to be had.
int DialAsync(int port, bool& connecting)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        connecting = false;
        return fd;
    }
    if (errno == EINPROGRESS) {
        connecting = true;
        return fd;
    }
    close(fd);
    return -1;
}

} // namespace

THttpCrowd::THttpCrowd(int port, TShape shape, int nice)
{
    FThread = std::thread([this, port, shape, nice] { Run(port, shape, nice); });
}

THttpCrowd::~THttpCrowd()
{
    Stop();
}

void THttpCrowd::Stop()
{
    FStop = true;
    if (FThread.joinable())
        FThread.join();
}

void THttpCrowd::Run(int port, TShape shape, int nice)
{
    if (nice != 0)
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
    std::string pipelined;
    for (int i = 0; i < shape.PipelinedRequests; ++i)
        pipelined += Request;

    std::vector<TClient> clients;
    for (int i = 0; i < shape.Idle; ++i)
        clients.push_back(TClient{.Kind = TKind::Idle});
    for (int i = 0; i < shape.Slow; ++i)
        clients.push_back(TClient{.Kind = TKind::Slow});
    for (int i = 0; i < shape.Pipelining; ++i)
        clients.push_back(TClient{.Kind = TKind::Pipelining});

    int connected = 0;
    const auto dial = [&](TClient& c) {
        c.Fd = DialAsync(port, c.Connecting);
        c.Sent = 0;
        c.NextByte = TClock::now();
        if (c.Fd >= 0 && !c.Connecting) {
            c.EverConnected = true;
            ++connected;
        }
    };
    const auto hangUp = [&](TClient& c, bool byServer) {
        if (c.Fd < 0)
            return;
        if (!c.Connecting)
            --connected;
        close(c.Fd);
        c.Fd = -1;
        if (byServer)
            ++FClosedByServer;
    };

    std::vector<pollfd> polled;
    std::vector<size_t> owners;
    char buffer[16384];
    while (!FStop) {
        const TClock::time_point now = TClock::now();
        polled.clear();
        owners.clear();
        bool all = true;
        for (size_t i = 0; i < clients.size(); ++i) {
            TClient& c = clients[i];
            if (c.Fd < 0)
                dial(c);
            all = all && c.EverConnected;
            if (c.Fd < 0)
                continue;
            short events = 0;
            if (c.Connecting) {
                events = POLLOUT;
            } else if (c.Kind == TKind::Pipelining) {
                if (c.Sent < pipelined.size())
                    events = POLLOUT;
            } else {
                events = POLLIN;
                if (c.Kind == TKind::Slow && now >= c.NextByte) {
                    const char byte = Request[c.Sent % Request.size()];
                    if (send(c.Fd, &byte, 1, MSG_NOSIGNAL) == 1) {
                        ++c.Sent;
                        c.NextByte = now + std::chrono::seconds(1);
                    }
                }
            }
            polled.push_back({c.Fd, events, 0});
            owners.push_back(i);
        }
        FConnected = connected;
        FAllDialled = all;
        if (poll(polled.data(), polled.size(), 100) <= 0)
            continue;
        for (size_t k = 0; k < polled.size(); ++k) {
            const short got = polled[k].revents;
            if (!got)
                continue;
            TClient& c = clients[owners[k]];
            if (c.Connecting) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(c.Fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0 || (got & (POLLERR | POLLHUP))) {
                    close(c.Fd);
                    c.Fd = -1;
                    continue;
                }
                c.Connecting = false;
                c.EverConnected = true;
                ++connected;
                continue;
            }
            if (c.Kind == TKind::Pipelining) {
                if (got & (POLLERR | POLLHUP)) {
                    hangUp(c, true);
                    continue;
                }
                const ssize_t n =
                    send(c.Fd, pipelined.data() + c.Sent, pipelined.size() - c.Sent, MSG_NOSIGNAL);
                if (n > 0) {
                    c.Sent += static_cast<size_t>(n);
                    FPipelinedBytes += static_cast<uint64_t>(n);
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    hangUp(c, true);
                }
                continue;
            }
            const ssize_t n = recv(c.Fd, buffer, sizeof buffer, 0);
            if (n > 0)
                FAnswerBytes += static_cast<uint64_t>(n);
            else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                hangUp(c, true);
        }
    }
    for (TClient& c : clients)
        hangUp(c, false);
    FConnected = 0;
}

} // namespace VarnelHttp
