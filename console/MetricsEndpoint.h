// SPDX-License-Identifier: GPL-3.0-or-later
// The console's metrics for a lab's monitoring: GET /metrics over HTTP, in
// the Prometheus text format, and nothing else. Every other path answers
// 404 and every other method 405; nothing that arrives here can command the
// controller.
//
// The server (civetweb) runs on threads of its own and answers from a
// snapshot of the facts the window's thread hands in: a scrape never waits
// for the window, and the window never waits for a scrape. It is bounded:
// a few worker threads, a queue of accepted connections, a cap on a
// request's size, a deadline for a request to arrive whole and a short
// idle time for a kept connection, so a slow, idle or hostile client holds
// one worker for a few seconds at most. A scraper that keeps its connection
// between scrapes (as Prometheus does) costs one request each time, not a
// connection's accept, hand-over and close. Its threads run niced below the
// window's, so that a burst of clients on a busy machine slows the scrapes,
// not the window.
#pragma once

#include "console/model/MetricsText.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

struct mg_context;
struct mg_connection;

class TMetricsEndpoint
{
public:
    struct TLimits
    {
        int Threads = 4;
        int ConnectionQueue = 64;
        // Room for a burst of connections the workers have not taken yet;
        // one that finds the kernel's queue full may wait long after the
        // burst is gone.
        int ListenBacklog = 1024;
        int MaxRequestBytes = 8192;
        int RequestTimeoutMsec = 5000;
        // How long a kept connection may wait for its next request (the
        // whole of it) before the server closes it. An idle connection
        // holds a worker, so this is short: shorter than the time a slow
        // client may already take for its first request, so keep-alive adds
        // no new way to hold the workers, and long enough to span the
        // interval of a scraper fast enough for its connections to cost
        // anything (one a second or faster).
        int KeepAliveIdleMsec = 2000;
    };

    // Parses "HOST:PORT" ("[v6]:PORT" for IPv6). A missing host means the
    // loopback address. False, with the reason, when it is no such address.
    static bool ParseListenAddress(const QString& text, QString& host, int& port, QString& error);

    // Listens at the address ("HOST:PORT"; port 0 takes a free port). When
    // that fails, Error() says why and nothing is served.
    explicit TMetricsEndpoint(const QString& listen, TLimits limits);
    explicit TMetricsEndpoint(const QString& listen) : TMetricsEndpoint(listen, TLimits{}) {}
    ~TMetricsEndpoint();

    TMetricsEndpoint(const TMetricsEndpoint&) = delete;
    TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

    bool IsListening() const { return FContext != nullptr; }
    QString Error() const { return FError; }
    // The address and port it listens at, as "HOST:PORT".
    QString Address() const { return FAddress; }
    int Port() const { return FPort; }

    // The facts the next scrape shows; any thread.
    void SetSnapshot(const TMetricsSnapshot& snapshot);
    // Pages served since the start.
    uint64_t Scrapes() const { return FScrapes.load(); }

private:
    static int HandleRequest(mg_connection* connection, void* self);
    int Answer(mg_connection* connection);

    mg_context* FContext = nullptr;
    QString FError;
    QString FAddress;
    int FPort = 0;
    mutable std::mutex FMutex;
    TMetricsSnapshot FSnapshot;
    std::atomic<uint64_t> FScrapes{0};
};
