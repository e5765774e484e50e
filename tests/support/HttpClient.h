// SPDX-License-Identifier: GPL-3.0-or-later
// A plain HTTP/1.1 client over loopback TCP, blocking, for tests that talk
// to the metrics endpoint or to Prometheus byte by byte as a client would.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace VarnelHttp {

// A connected socket to 127.0.0.1:port, or -1.
int Dial(int port);
// Everything the peer sends until it closes, or until the deadline.
std::string ReadAll(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(20));
// One answer: its head and as many bytes as its Content-Length says, or,
// without one, everything until the peer closes; stops at the deadline.
std::string ReadAnswer(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(20));
// True when the peer closes the connection (or it breaks) before the
// deadline, with nothing more sent.
bool ClosedByPeer(int fd, std::chrono::milliseconds deadline);
// Sends the request as it is on a new connection and returns one answer
// ("" when none).
std::string Exchange(int port, const std::string& request);
// Writes the request one byte a second, as a client that takes its time,
// until it is written or stop is set; false when a write failed.
bool WriteSlowly(int fd, const std::string& request, const std::atomic<bool>& stop);
// GET path; the whole answer, head and body.
std::string Get(int port, const std::string& path);
// The answer's status code; 0 when it is no HTTP answer.
int StatusOf(const std::string& answer);
// The answer's body.
std::string BodyOf(const std::string& answer);
// A port no one listens at on the loopback right now.
int FreePort();

// GETs over one connection kept between requests, as a scraper keeps it:
// when the server has closed it meanwhile, dials again and asks once more.
class TKeptConnection
{
public:
    explicit TKeptConnection(int port) : FPort(port) {}
    ~TKeptConnection();
    TKeptConnection(const TKeptConnection&) = delete;
    TKeptConnection& operator=(const TKeptConnection&) = delete;

    // GET path; the whole answer, head and body ("" when none).
    std::string Get(const std::string& path);
    // The connection's socket (-1 when none is open).
    int Fd() const { return FFd; }
    // Connections dialled so far.
    int Dials() const { return FDials; }

private:
    std::string Ask(const std::string& request);

    int FPort;
    int FFd = -1;
    int FDials = 0;
};

} // namespace VarnelHttp
