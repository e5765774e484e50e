// SPDX-License-Identifier: GPL-3.0-or-later
// A crowd of clients that misbehave towards an HTTP server on the loopback,
// all on one thread of their own: idle connections that send nothing, slow
// clients that send a request one byte a second, and pipelining clients that
// send thousands of requests and never read an answer. Each dials again when
// the server closes it, as a hostile local program would.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace VarnelHttp {

class THttpCrowd
{
public:
    struct TShape
    {
        int Idle = 1000;
        int Slow = 100;
        int Pipelining = 10;
        // Requests each pipelining client sends on each connection.
        int PipelinedRequests = 10000;
    };

    // Starts dialling at once; `nice` runs the crowd's thread at that
    // niceness (a crowd that stands for other machines yields the CPU).
    THttpCrowd(int port, TShape shape, int nice = 0);
    ~THttpCrowd();
    THttpCrowd(const THttpCrowd&) = delete;
    THttpCrowd& operator=(const THttpCrowd&) = delete;

    void Stop();

    // Clients connected right now, of all kinds.
    int Connected() const { return FConnected.load(); }
    // Whether every client has been connected at least once.
    bool AllDialled() const { return FAllDialled.load(); }
    // Connections the server closed (and that were dialled again).
    uint64_t ClosedByServer() const { return FClosedByServer.load(); }
    // Bytes of requests the pipelining clients got the server to take.
    uint64_t PipelinedBytes() const { return FPipelinedBytes.load(); }
    // Bytes of answers the slow and idle clients received (the pipelining
    // ones read nothing).
    uint64_t AnswerBytes() const { return FAnswerBytes.load(); }

private:
    void Run(int port, TShape shape, int nice);

    std::atomic<bool> FStop{false};
    std::atomic<int> FConnected{0};
    std::atomic<bool> FAllDialled{false};
    std::atomic<uint64_t> FClosedByServer{0};
    std::atomic<uint64_t> FPipelinedBytes{0};
    std::atomic<uint64_t> FAnswerBytes{0};
    std::thread FThread;
};

} // namespace VarnelHttp
