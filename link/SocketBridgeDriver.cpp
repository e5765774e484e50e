#include "SocketBridgeDriver.h"

#include "link/BridgeDirectory.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>

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

// A description must name a file inside the bridge directory and nothing else.
bool UsableDescription(const std::string& description)
{
    return !description.empty() && description.size() <= VarnelBridges::MaxDescriptionLength &&
           description != "." && description != ".." &&
           description.find_first_of(std::string("/\0", 2)) == std::string::npos &&
           FitsSocketAddress(VarnelBridges::SocketPath(description));
}

bool OwnSocket(const struct stat& st)
{
    return S_ISSOCK(st.st_mode) && st.st_uid == ::getuid();
}

// Reading (queue status, read) and writing may run on two threads at once;
// every other call takes both locks and so waits for them.
class TSocketPort : public TBridgePort
{
public:
    explicit TSocketPort(int socket) : FSocket(socket) {}
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

    // The read timeout has no use here: reads never wait.
    bool SetTimeouts(uint32_t, uint32_t writeTimeoutMs) override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        if (FSocket < 0 || FGone)
            return false;
        FWriteTimeoutMs = writeTimeoutMs;
        return true;
    }

    bool Purge(uint32_t mask) override
    {
        std::scoped_lock lock(FReadLock, FWriteLock);
        if (FSocket < 0 || FGone)
            return false;
        // Bytes already sent have left; only received ones can be thrown away.
        if (!(mask & 1u))
            return true;
        FReadAhead.clear();
        return Receive(false);
    }

    bool GetQueueStatus(uint32_t& count) override
    {
        std::lock_guard lock(FReadLock);
        count = 0;
        // What the simulator sent before it hung up is still handed out;
        // the failure shows once nothing of it is left.
        if (!Receive(true) && FReadAhead.empty())
            return false;
        count = static_cast<uint32_t>(FReadAhead.size());
        return true;
    }

    // Returns at once with the bytes that have arrived, at most `wanted`.
    bool Read(uint8_t* buffer, uint32_t wanted, uint32_t& got) override
    {
        std::lock_guard lock(FReadLock);
        got = 0;
        if (!Receive(true) && FReadAhead.empty())
            return false;
        got = static_cast<uint32_t>(std::min<std::size_t>(wanted, FReadAhead.size()));
        std::copy_n(FReadAhead.begin(), got, buffer);
        FReadAhead.erase(FReadAhead.begin(), FReadAhead.begin() + got);
        return true;
    }

    // Waits at most the write timeout for a simulator that does not read.
    bool Write(const uint8_t* buffer, uint32_t size, uint32_t& written) override
    {
        std::lock_guard lock(FWriteLock);
        written = 0;
        if (FSocket < 0 || FGone)
            return false;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(FWriteTimeoutMs.load());
        while (written < size) {
            const ssize_t sent =
                ::send(FSocket, buffer + written, size - written, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                written += static_cast<uint32_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    return false;
                pollfd entry{FSocket, POLLOUT, 0};
                ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
                continue;
            }
            FGone = true;
            return false;
        }
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
        return FSocket >= 0 && !FGone;
    }

    void Drop()
    {
        if (FSocket >= 0) {
            ::shutdown(FSocket, SHUT_RDWR);
            ::close(FSocket);
        }
        FSocket = -1;
        FReadAhead.clear();
    }

    // Takes in what has arrived without waiting; keeps it or throws it away.
    // False once the simulator has hung up or the socket failed.
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
            FGone = true;
            return false;
        }
        return true;
    }

    std::mutex FReadLock;
    std::mutex FWriteLock;
    int FSocket;
    std::atomic<bool> FGone{false};
    std::atomic<uint32_t> FWriteTimeoutMs{10000};
    std::deque<uint8_t> FReadAhead;
};

} // namespace

bool TSocketBridgeDriver::Enumerate(std::vector<std::string>& descriptions)
{
    if (!VarnelBridges::EnsureDirectory())
        return true;
    DIR* directory = ::opendir(VarnelBridges::Directory().c_str());
    if (!directory)
        return true;
    const std::string suffix = VarnelBridges::SocketSuffix;
    std::vector<std::string> found;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.size() <= suffix.size() || !name.ends_with(suffix))
            continue;
        const std::string description = name.substr(0, name.size() - suffix.size());
        struct stat st
        {
        };
        if (UsableDescription(description) &&
            ::fstatat(::dirfd(directory), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            OwnSocket(st))
            found.push_back(description);
    }
    ::closedir(directory);
    std::sort(found.begin(), found.end());
    descriptions.insert(descriptions.end(), found.begin(), found.end());
    return true;
}

std::unique_ptr<TBridgePort> TSocketBridgeDriver::Open(const std::string& description)
{
    if (!UsableDescription(description) || !VarnelBridges::EnsureDirectory())
        return nullptr;
    const std::string path = VarnelBridges::SocketPath(description);
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
