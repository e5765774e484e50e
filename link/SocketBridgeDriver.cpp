// SPDX-License-Identifier: GPL-3.0-or-later
#include "SocketBridgeDriver.h"

#include "link/BridgeDirectory.h"
#include "link/LinkSignal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Bytes the read-ahead buffer takes in before it stops receiving; the rest
// waits in the socket, so a simulator that sends faster than the console reads
// is slowed down rather than losing bytes.
constexpr std::size_t ReadAheadLimit = 1 << 20;

bool FitsSocketAddress(const std::string& path)
{
    return path.size() < sizeof(sockaddr_un::sun_path);
}

// A description must name a file inside the bridge directory and nothing
// else, and name one bridge only when it is shown.
bool UsableDescription(const std::string& description)
{
    return DistinctDescription(description) &&
           description.size() <= VarnelBridges::MaxDescriptionLength && description != "." &&
           description != ".." && description.find('/') == std::string::npos &&
           FitsSocketAddress(VarnelBridges::SocketPath(description));
}

// Paths of the Unix-domain stream sockets bound in this network namespace.
// A datagram socket in the bridge directory is no bridge, and a socket file
// left behind by a simulator that ended has nobody behind it; the file
// itself tells neither. Null when the kernel's table cannot be read.
std::optional<std::set<std::string>> BoundStreamSockets()
{
    std::ifstream table("/proc/net/unix");
    if (!table)
        return std::nullopt;
    std::set<std::string> paths;
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, references, protocol, flags, type, state, inode;
        if (!(fields >> slot >> references >> protocol >> flags >> type >> state >> inode))
            continue;
        if (type != "0001" || fields.get() != ' ')
            continue;
        std::string path;
        std::getline(fields, path);
        if (!path.empty())
            paths.insert(path);
    }
    return paths;
}

bool OwnSocket(const struct stat& st)
{
    return S_ISSOCK(st.st_mode) && st.st_uid == ::getuid();
}

// Received bytes wait in the socket and in the read-ahead; the link signal
// watches the socket, so a reader waiting for the link wakes when bytes
// arrive or the simulator hangs up. Written bytes go out at once as far as
// the socket takes them; the rest waits in the send queue and goes out on
// the next write or queue-status call. Reading (queue status, read) and
// writing may run on two threads at once; every other call takes both locks.
class TSocketPort : public TBridgePort
{
public:
    explicit TSocketPort(int socket) : FSocket(socket) { TLinkSignal::Instance().Watch(FSocket); }
    ~TSocketPort() override { Close(); }

    bool Close() override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        Drop();
        return true;
    }

    bool SetBaudRate(uint32_t) override { return Alive(); }
    bool SetDataCharacteristics(uint8_t, uint8_t, uint8_t) override { return Alive(); }
    bool SetLatencyTimer(uint8_t) override { return Alive(); }
    // Reads and writes never wait, so there is nothing for timeouts to bound.
    bool SetTimeouts(uint32_t, uint32_t) override { return Alive(); }

    bool Purge(uint32_t mask) override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        if (FSocket < 0 || FGone || FLost)
            return false;
        if (mask & FT_PURGE_TX)
            FOutgoing.clear();
        if (!(mask & FT_PURGE_RX))
            return true;
        FReadAhead.clear();
        return Receive(false);
    }

    bool GetQueueStatus(uint32_t& count) override
    {
        {
            std::lock_guard lock(FWriteLock);
            Flush();
        }
        std::lock_guard lock(FReadLock);
        count = 0;
        if (!Answers())
            return false;
        count = static_cast<uint32_t>(FReadAhead.size());
        return true;
    }

    // Returns at once with the bytes that have arrived, at most `wanted`.
    bool Read(uint8_t* buffer, uint32_t wanted, uint32_t& got) override
    {
        std::lock_guard lock(FReadLock);
        got = 0;
        if (!Answers())
            return false;
        got = static_cast<uint32_t>(std::min<std::size_t>(wanted, FReadAhead.size()));
        std::copy_n(FReadAhead.begin(), got, buffer);
        FReadAhead.erase(FReadAhead.begin(), FReadAhead.begin() + got);
        return true;
    }

    bool Write(const uint8_t* buffer, uint32_t size, uint32_t& written) override
    {
        std::lock_guard lock(FWriteLock);
        written = 0;
        if (FSocket < 0 || FGone || FLost)
            return false;
        if (FOutgoing.size() + size > SendQueueLimit) {
            Lose();
            return false;
        }
        if (FOutgoing.empty())
            FLastProgress = std::chrono::steady_clock::now();
        FOutgoing.insert(FOutgoing.end(), buffer, buffer + size);
        Flush();
        if (FLost || FGone)
            return false;
        written = size;
        return true;
    }

    // Hangs up: the simulator sees the bridge drop off.
    bool CyclePort() override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        if (FSocket < 0)
            return false;
        Drop();
        return true;
    }

private:
    bool Alive()
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        return FSocket >= 0 && !FGone && !FLost;
    }

    // What the simulator sent before it hung up is still handed out; the
    // failure shows once nothing of it is left. A lost send fails at once.
    bool Answers() { return !FLost && (Receive(true) || !FReadAhead.empty()); }

    void Drop()
    {
        if (FSocket >= 0) {
            TLinkSignal::Instance().Unwatch(FSocket);
            ::shutdown(FSocket, SHUT_RDWR);
            ::close(FSocket);
        }
        FSocket = -1;
        FReadAhead.clear();
        FOutgoing.clear();
    }

    // The simulator has stopped taking bytes: from now on every call fails.
    void Lose()
    {
        FLost = true;
        TLinkSignal::Instance().Raise();
    }

    // Sends what the socket takes without waiting. Called with FWriteLock.
    void Flush()
    {
        if (FSocket < 0 || FGone || FLost)
            return;
        const auto now = std::chrono::steady_clock::now();
        while (!FOutgoing.empty()) {
            const ssize_t sent =
                ::send(FSocket, FOutgoing.data(), FOutgoing.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                FOutgoing.erase(FOutgoing.begin(), FOutgoing.begin() + sent);
                FLastProgress = now;
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (now - FLastProgress >= SendStallLimit)
                    Lose();
                return;
            }
            FGone = true;
            return;
        }
    }

    // Takes in what has arrived without waiting; keeps it or throws it away.
    // False once the simulator has hung up or the socket failed. Called with
    // FReadLock.
    bool Receive(bool keep)
    {
        if (FSocket < 0 || FGone)
            return false;
        uint8_t chunk[4096];
        while (!keep || FReadAhead.size() < ReadAheadLimit) {
            const ssize_t received = ::recv(FSocket, chunk, sizeof chunk, MSG_DONTWAIT);
            if (received > 0) {
                if (keep)
                    FReadAhead.insert(FReadAhead.end(), chunk, chunk + received);
                continue;
            }
            if (received < 0 && errno == EINTR)
                continue;
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            // A hung-up socket stays readable; a waiting reader must not spin on it.
            TLinkSignal::Instance().Unwatch(FSocket);
            FGone = true;
            return false;
        }
        return true;
    }

    std::mutex FReadLock;
    std::mutex FWriteLock;
    int FSocket;
    std::atomic<bool> FGone{false};
    std::atomic<bool> FLost{false};
    std::deque<uint8_t> FReadAhead;
    std::vector<uint8_t> FOutgoing;
    std::chrono::steady_clock::time_point FLastProgress;
};

} // namespace

bool TSocketBridgeDriver::Enumerate(std::vector<TBridgeInfo>& bridges)
{
    if (!VarnelBridges::EnsureDirectory())
        return true;
    const auto streams = BoundStreamSockets();
    DIR* directory = ::opendir(VarnelBridges::Directory().c_str());
    if (!directory)
        return true;
    const std::string suffix = VarnelBridges::SocketSuffix;
    std::vector<TBridgeInfo> found;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.size() <= suffix.size() || !name.ends_with(suffix))
            continue;
        const std::string description = name.substr(0, name.size() - suffix.size());
        const std::string path = VarnelBridges::SocketPath(description);
        struct stat st
        {
        };
        if (UsableDescription(description) &&
            ::fstatat(::dirfd(directory), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            OwnSocket(st) && (!streams || streams->count(path) != 0))
            found.push_back({description, path});
    }
    ::closedir(directory);
    std::sort(found.begin(), found.end(), [](const TBridgeInfo& a, const TBridgeInfo& b) {
        return a.Description < b.Description;
    });
    bridges.insert(bridges.end(), found.begin(), found.end());
    return true;
}

std::unique_ptr<TBridgePort> TSocketBridgeDriver::Open(const TBridgeInfo& bridge)
{
    if (!UsableDescription(bridge.Description) || !VarnelBridges::EnsureDirectory())
        return nullptr;
    const std::string path = VarnelBridges::SocketPath(bridge.Description);
    if (bridge.Locator != path)
        return nullptr;
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0 || !OwnSocket(st))
        return nullptr;
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0)
        return nullptr;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    // A simulator whose queue of pending connections is full refuses at once
    // rather than holding the console up.
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket);
        return nullptr;
    }
    return std::make_unique<TSocketPort>(socket);
}

bool TSocketBridgeDriver::GetLibraryVersion(uint32_t& version)
{
    version = 0;
    return false;
}
