// SPDX-License-Identifier: GPL-3.0-or-later
// The console's metrics for a lab's monitoring: GET /metrics over HTTP, in
// the Prometheus text format, and nothing else. Every other path answers
// 404 and every other method 405; nothing that arrives here can command the
// controller.
//
// The server runs on a thread of its own (an event loop over its sockets,
// niced below the window's thread) and answers from a snapshot of the facts
// the window's thread hands in under a mutex: a scrape never waits for the
// window, and the window never waits for a scrape. A connection costs no
// thread, only its socket and its buffers, so idle, slow and hostile
// clients cannot take the scrapes' turn; everything they can make the
// endpoint hold is bounded: the number of connections (past the limit the
// connection idle the longest is closed), a request's head, the time a
// request may take to arrive whole, the time a kept connection may stay
// idle, the answers a client has not taken yet (answering pauses past the
// bound, and a client that leaves its answers untaken is dropped) and so the
// pipelined requests waiting behind them. A scraper that keeps its
// connection between scrapes (as Prometheus does) costs one request each
// time, not a connection's accept and close.
#pragma once

#include "console/model/MetricsText.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class TMetricsEndpoint
{
public:
    struct TLimits
    {
        // Open connections at most; a new one past the limit closes the
        // connection idle the longest (or, when none is idle, the oldest one
        // still sending its request; when none is, the new one is refused).
        // Room for a crowd of idle clients as a whole: a crowd larger than
        // the limit that dials again as fast as it is let go keeps the
        // server busy accepting, and a scrape waits its turn behind it. The
        // process's limit of open files is raised to fit (within the
        // system's hard limit; where that is lower, the limit shrinks).
        int MaxConnections = 2048;
        // Room for a burst of connections the server has not taken yet (a
        // connection that finds it full waits a second or more to retry).
        int ListenBacklog = 4096;
        // A request's head (request line and header fields) at most; what a
        // connection may have received and not yet answered is bounded by it.
        int MaxRequestBytes = 8192;
        // How long a new connection may take to bring its first request
        // whole.
        int RequestTimeoutMsec = 5000;
        // How long a kept connection may wait for its next request (the
        // whole of it) before the server closes it: long enough to span the
        // interval of a scraper fast enough for its connections to cost
        // anything (one a second or faster), and shorter than the time a
        // slow client may already take for its first request.
        int KeepAliveIdleMsec = 2000;
        // Answers a client has not taken yet, beyond what the kernel holds
        // for it: past this the server answers no more of its pipelined
        // requests until it reads.
        int MaxUnsentBytes = 16 * 1024;
        // A client whose answers have waited untaken this long is dropped.
        int UnsentTimeoutMsec = 5000;
    };

    // Parses "HOST:PORT" ("[v6]:PORT" for IPv6; HOST an IP address or a host
    // name). A missing host means the loopback address. False, with the
    // reason, when it is no such address.
    static bool ParseListenAddress(const QString& text, QString& host, int& port, QString& error);

    // Listens at the address ("HOST:PORT"; port 0 takes a free port; a host
    // name at every address it resolves to). When that fails, Error() says
    // why and nothing is served.
    explicit TMetricsEndpoint(const QString& listen, TLimits limits);
    explicit TMetricsEndpoint(const QString& listen) : TMetricsEndpoint(listen, TLimits{}) {}
    ~TMetricsEndpoint();

    TMetricsEndpoint(const TMetricsEndpoint&) = delete;
    TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

    bool IsListening() const { return FListening; }
    QString Error() const { return FError; }
    // The address and port it listens at, as "HOST:PORT" (the first one, for
    // a host name that resolved to several).
    QString Address() const { return FAddress; }
    // Every address it listens at, as "HOST:PORT".
    QStringList Addresses() const { return FAddresses; }
    int Port() const { return FPort; }
    // Whether it listens at a wildcard address (0.0.0.0, ::), so on every
    // interface of the machine; Interfaces() names their addresses.
    bool ServesEveryInterface() const { return FEveryInterface; }
    QStringList Interfaces() const { return FInterfaces; }

    // The facts the next scrape shows; any thread.
    void SetSnapshot(const TMetricsSnapshot& snapshot);
    // Pages served since the start.
    uint64_t Scrapes() const { return FScrapes.load(); }
    // Connections open right now (for the tests and the benchmark).
    int Connections() const { return FConnections.load(); }

private:
    class TServer;
    class TThread;

    QByteArray Page();

    std::unique_ptr<TThread> FThread;
    bool FListening = false;
    QString FError;
    QString FAddress;
    QStringList FAddresses;
    int FPort = 0;
    bool FEveryInterface = false;
    QStringList FInterfaces;
    mutable std::mutex FMutex;
    TMetricsSnapshot FSnapshot;
    std::atomic<uint64_t> FScrapes{0};
    std::atomic<int> FConnections{0};
};

// What the operator is told of the endpoint, on the window and in the log:
// where it serves (the port the system chose for port 0; every interface's
// address when it serves them all) or why it serves nothing.
struct TMetricsNotice
{
    QString Text;    // one short line
    QString Details; // the whole of it
    bool Warning = false;
};
TMetricsNotice DescribeMetricsEndpoint(const TMetricsEndpoint& endpoint, const QString& listen);

// The exit code of a console whose endpoint, asked for on the command line,
// cannot listen.
constexpr int MetricsListenFailedExitCode = 2;
