// SPDX-License-Identifier: GPL-3.0-or-later
#include "HttpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <thread>

namespace VarnelHttp {

int Dial(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    close(fd);
    return -1;
}

namespace {

// Reads until complete(what was read) holds, the peer closes or the
// deadline passes.
template <typename TComplete>
std::string ReadUntil(int fd, std::chrono::milliseconds deadline, TComplete complete)
{
    using Clock = std::chrono::steady_clock;
    std::string answer;
    const auto end = Clock::now() + deadline;
    char buffer[4096];
    while (!complete(answer)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 1))) <= 0)
            break;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    return answer;
}

// The answer's head up to its last line's end, in lower case ("" while the
// head is incomplete).
std::string LowerHead(const std::string& answer)
{
    const size_t end = answer.find("\r\n\r\n");
    std::string head = answer.substr(0, end == std::string::npos ? 0 : end + 2);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return head;
}

// Whether the bytes hold exactly (exact) or at least one whole answer: the
// head and the body its Content-Length announces.
bool HoldsWholeAnswer(const std::string& answer, bool exact)
{
    const std::string head = LowerHead(answer);
    const size_t at = head.find("\r\ncontent-length:");
    if (head.empty() || at == std::string::npos)
        return false;
    const size_t whole = head.size() + 2 + std::strtoull(head.c_str() + at + 17, nullptr, 10);
    return exact ? answer.size() == whole : answer.size() >= whole;
}

bool WriteAll(int fd, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string ReadAll(int fd, std::chrono::milliseconds deadline)
{
    return ReadUntil(fd, deadline, [](const std::string&) { return false; });
}

std::string ReadAnswer(int fd, std::chrono::milliseconds deadline)
{
    return ReadUntil(fd, deadline,
                     [](const std::string& answer) { return HoldsWholeAnswer(answer, false); });
}

bool ClosedByPeer(int fd, std::chrono::milliseconds deadline)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(deadline.count())) <= 0)
        return false;
    char byte = 0;
    return read(fd, &byte, 1) <= 0;
}

std::string Exchange(int port, const std::string& request)
{
    const int fd = Dial(port);
    if (fd < 0)
        return {};
    (void)WriteAll(fd, request);
    std::string answer = ReadAnswer(fd);
    close(fd);
    return answer;
}

std::string Get(int port, const std::string& path)
{
    return Exchange(port,
                    "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

int StatusOf(const std::string& answer)
{
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12)
        return 0;
    return std::stoi(answer.substr(9, 3));
}

std::string BodyOf(const std::string& answer)
{
    const size_t head = answer.find("\r\n\r\n");
    return head == std::string::npos ? std::string() : answer.substr(head + 4);
}

int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

TKeptConnection::~TKeptConnection()
{
    if (FFd >= 0)
        close(FFd);
}

std::string TKeptConnection::Get(const std::string& path)
{
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    // A kept connection the server closed while it was idle gives no
    // answer (or a failed write): one more try on a new one.
    const bool wasOpen = FFd >= 0;
    std::string answer = Ask(request);
    if (answer.empty() && wasOpen)
        answer = Ask(request);
    return answer;
}

std::string TKeptConnection::Ask(const std::string& request)
{
    if (FFd < 0) {
        FFd = Dial(FPort);
        if (FFd < 0)
            return {};
        ++FDials;
    }
    std::string answer;
    if (WriteAll(FFd, request))
        answer = ReadAnswer(FFd);
    // An answer cut short, or one that says the server closes, ends it.
    const std::string head = LowerHead(answer);
    if (!HoldsWholeAnswer(answer, true) ||
        head.find("\r\nconnection: close") != std::string::npos) {
        close(FFd);
        FFd = -1;
    }
    return head.empty() ? std::string() : answer;
}

bool WriteSlowly(int fd, const std::string& request, const std::atomic<bool>& stop)
{
    for (size_t i = 0; i < request.size() && !stop; ++i) {
        if (::write(fd, &request[i], 1) != 1)
            return false;
        for (int t = 0; t < 10 && !stop; ++t)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

} // namespace VarnelHttp
