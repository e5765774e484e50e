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
// Sends the request as it is and returns the whole answer ("" when none).
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

} // namespace VarnelHttp
