// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/SimServer.h"

#include "link/BridgeDirectory.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace VarnelSim {

namespace {

using namespace std::chrono_literals;

// Most bytes handed to one send call when not pacing.
constexpr std::size_t ChunkBytes = 64 * 1024;
// Output the model may hold back when not pacing.
constexpr std::size_t UnpacedBacklogBytes = 1024 * 1024;
// Room for answers on top of the model's backlog of periodic frames. While
// this much output waits, the console's commands are left in the socket: a
// console that sends read requests and never takes the answers is held back
// by its own socket instead of filling this process's memory.
constexpr std::size_t AnswerRoomBytes = 16 * 1024;

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

namespace {

TModelOptions ModelOptionsFor(const TSimOptions& options)
{
    TModelOptions model = options.Model;
    // Unpaced, the socket's own buffer holds the console back; the model's
    // backlog only has to bridge a late wake-up of this process.
    if (!options.Pacing)
        model.MaxBacklog = std::max<std::size_t>(model.MaxBacklog, UnpacedBacklogBytes);
    return model;
}

} // namespace

TSimServer::TSimServer(const TSimOptions& options)
    : FOptions(options), FModel(ModelOptionsFor(options)),
      FReadLimit(ModelOptionsFor(options).MaxBacklog + AnswerRoomBytes)
{
}

TSimServer::~TSimServer()
{
    CloseConsole(nullptr);
    RemoveSocket();
    if (FSignals >= 0)
        ::close(FSignals);
    if (FTimestamps)
        std::fclose(FTimestamps);
}

bool TSimServer::Open(std::string& error)
{
    // Signals first: from here on a SIGTERM arrives through the loop, which
    // removes the socket, instead of killing the process with it in place.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        error = SystemError("cannot block SIGINT, SIGTERM and SIGUSR1");
        return false;
    }
    FSignals = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (FSignals < 0) {
        error = SystemError("cannot watch SIGINT, SIGTERM and SIGUSR1");
        return false;
    }
    std::signal(SIGPIPE, SIG_IGN);

    if (!FOptions.TimestampsFile.empty()) {
        FTimestamps = std::fopen(FOptions.TimestampsFile.c_str(), "w");
        if (!FTimestamps) {
            error = SystemError("cannot create " + FOptions.TimestampsFile);
            return false;
        }
    }

    std::string why;
    if (!VarnelBridges::EnsureDirectory(&why)) {
        error = "cannot create the bridges directory: " + why;
        return false;
    }
    FPath = VarnelBridges::SocketPath(FOptions.Description);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (FPath.size() >= sizeof(address.sun_path)) {
        error = "the socket path is too long for a Unix socket (" + std::to_string(FPath.size()) +
                " bytes, at most " + std::to_string(sizeof(address.sun_path) - 1) + "): " + FPath +
                "; use a shorter description or XDG_RUNTIME_DIR";
        return false;
    }
    std::memcpy(address.sun_path, FPath.c_str(), FPath.size() + 1);

    struct stat st
    {
    };
    if (::lstat(FPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = FPath + " exists and is not a socket; not touching it";
            return false;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            error = SystemError("cannot create a socket");
            return false;
        }
        const int answered =
            ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        const int probeErrno = errno;
        ::close(probe);
        if (answered == 0) {
            error = "a simulator is already running as \"" + FOptions.Description + "\" (" + FPath +
                    ")";
            return false;
        }
        if (probeErrno != ECONNREFUSED && probeErrno != ENOENT) {
            errno = probeErrno;
            error = SystemError("cannot check the existing socket " + FPath);
            return false;
        }
        // Nobody listens: left behind by a simulator that is gone.
        if (::unlink(FPath.c_str()) != 0 && errno != ENOENT) {
            error = SystemError("cannot remove the stale socket " + FPath);
            return false;
        }
        std::fprintf(stderr, "varnel-sim: replaced a stale socket\n");
    } else if (errno != ENOENT) {
        error = SystemError("cannot examine " + FPath);
        return false;
    }

    FListen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (FListen < 0) {
        error = SystemError("cannot create a socket");
        return false;
    }
    if (::bind(FListen, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = SystemError("cannot bind " + FPath);
        ::close(FListen);
        FListen = -1;
        return false;
    }
    if (::lstat(FPath.c_str(), &st) == 0) {
        FSocketDevice = st.st_dev;
        FSocketInode = st.st_ino;
    }
    if (::listen(FListen, 4) != 0) {
        error = SystemError("cannot listen on " + FPath);
        RemoveSocket();
        return false;
    }
    std::fprintf(stderr, "varnel-sim: \"%s\" waiting for a console on %s\n",
                 FOptions.Description.c_str(), FPath.c_str());
    return true;
}

int TSimServer::Run()
{
    for (;;) {
        TClock::time_point now = TClock::now();
        if (FConsole >= 0) {
            if (FDropAt && now >= *FDropAt) {
                // Unplugged: the bridge disappears first, then the line goes dead.
                std::fprintf(stderr, "varnel-sim: dropping the console as if unplugged\n");
                RemoveSocket();
                CloseConsole(nullptr);
                return 0;
            }
            FModel.AdvanceTo(now);
            NoteLockEvents();
            if (!Flush(now)) {
                CloseConsole("the console went away");
                continue;
            }
        }

        TClock::time_point wake = TClock::time_point::max();
        // A hang-up or an error is reported even while commands are not read.
        short consoleEvents = BacklogFull() ? 0 : POLLIN;
        if (FConsole >= 0) {
            const TClock::time_point next = FModel.NextEventTime();
            // Streams due within a millisecond are served together.
            if (next != TClock::time_point::max())
                wake = std::max(next, now + 1ms);
            if (FDropAt)
                wake = std::min(wake, *FDropAt);
            const std::size_t pending = FModel.PendingOutput();
            if (pending > 0) {
                if (FSocketFull)
                    consoleEvents |= POLLOUT;
                else if (FOptions.Pacing)
                    wake = std::min(wake, now + FPacer.WaitFor(std::min(pending, FrameSize), now));
            }
        }

        pollfd fds[3] = {{FSignals, POLLIN, 0}, {FListen, POLLIN, 0}, {FConsole, consoleEvents, 0}};
        const nfds_t count = FConsole >= 0 ? 3 : 2;
        timespec timeout{};
        timespec* timeoutPointer = nullptr;
        if (wake != TClock::time_point::max()) {
            const auto wait = std::max(TClock::duration::zero(), wake - now);
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            timeoutPointer = &timeout;
        }
        if (::ppoll(fds, count, timeoutPointer, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "varnel-sim: %s\n", SystemError("poll").c_str());
            RemoveSocket();
            return 1;
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            const ssize_t got = ::read(FSignals, &info, sizeof(info));
            if (got == sizeof(info) && info.ssi_signo == SIGUSR1) {
                KnockNow();
                continue;
            }
            if (got == sizeof(info) || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                const char* name =
                    got == sizeof(info) && info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
                std::fprintf(stderr, "varnel-sim: stopping on %s\n", name);
                RemoveSocket();
                CloseConsole(nullptr);
                return 0;
            }
        }
        if (FConsole >= 0 && fds[2].revents != 0) {
            if (fds[2].revents & POLLOUT)
                FSocketFull = false;
            if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) &&
                !ReadConsole((fds[2].revents & (POLLHUP | POLLERR)) != 0))
                CloseConsole("the console disconnected");
        }
        if (fds[1].revents & POLLIN)
            AcceptConsole();
    }
}

void TSimServer::KnockNow()
{
    if (FConsole < 0) {
        std::fprintf(stderr, "varnel-sim: knock: no console, nothing locked\n");
        return;
    }
    // The knock acts at the model's time: bring it up to now first.
    FModel.AdvanceTo(TClock::now());
    NoteLockEvents();
    if (FModel.Knock() == _ko_not_locked)
        std::fprintf(stderr, "varnel-sim: knock: nothing locked, no effect\n");
    NoteLockEvents();
}

void TSimServer::NoteLockEvents()
{
    // Between two calls there is hardly ever more than one event.
    const TModelStats& stats = FModel.Stats();
    const uint64_t ridden = stats.KnocksRiddenOut - FRiddenOutNoted;
    const uint64_t lost = stats.Knocks - FKnocksNoted - ridden;
    for (uint64_t k = 0; k < ridden; ++k)
        std::fprintf(stderr, "varnel-sim: knock: unlocked, the loop rides it out\n");
    for (uint64_t k = 0; k < lost; ++k)
        std::fprintf(stderr, "varnel-sim: knock: unlocked until a tuning command\n");
    for (uint64_t k = FRailLossesNoted; k < stats.RailLosses; ++k)
        std::fprintf(stderr, "varnel-sim: the stabilisation mirror is at its rail: unlocked\n");
    FKnocksNoted = stats.Knocks;
    FRiddenOutNoted = stats.KnocksRiddenOut;
    FRailLossesNoted = stats.RailLosses;
}

void TSimServer::AcceptConsole()
{
    const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (FConsole >= 0) {
        // One console at a time: a second one is hung up on at once rather
        // than left waiting on a line that never answers.
        ::close(fd);
        std::fprintf(stderr, "varnel-sim: refused a second console\n");
        return;
    }
    FConsole = fd;
    FSocketFull = false;
    const TClock::time_point now = TClock::now();
    FModel.Connect(now);
    FPacer.Reset(now);
    if (FOptions.DropAfterSeconds)
        FDropAt = now + std::chrono::duration_cast<TClock::duration>(
                            std::chrono::duration<double>(*FOptions.DropAfterSeconds));
    std::fprintf(stderr, "varnel-sim: console connected\n");
}

void TSimServer::CloseConsole(const char* why)
{
    if (FConsole < 0)
        return;
    ::close(FConsole);
    FConsole = -1;
    FModel.Disconnect();
    FDropAt.reset();
    if (why)
        std::fprintf(stderr, "varnel-sim: %s; waiting for the next console\n", why);
}

bool TSimServer::ReadConsole(bool hungUp)
{
    uint8_t buffer[4096];
    while (!BacklogFull()) {
        const ssize_t got = ::recv(FConsole, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got > 0) {
            // Commands act at the time they arrive.
            FModel.AdvanceTo(TClock::now());
            FModel.Receive(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    // The rest waits until the console has taken some output; one that has
    // hung up never will.
    return !hungUp;
}

bool TSimServer::BacklogFull() const
{
    return FModel.PendingOutput() >= FReadLimit;
}

bool TSimServer::Flush(TClock::time_point now)
{
    while (!FSocketFull) {
        const std::size_t pending = FModel.PendingOutput();
        if (pending == 0)
            return true;
        std::size_t n = std::min(pending, ChunkBytes);
        if (FOptions.Pacing) {
            // Send at least a frame's worth at a time, not a byte per wake-up.
            const std::size_t allowed = FPacer.Allowance(now);
            if (allowed < std::min(pending, FrameSize))
                return true;
            n = std::min(n, allowed);
        }
        FBuffer.resize(n);
        FModel.PeekOutput(FBuffer.data(), n);
        const ssize_t sent = ::send(FConsole, FBuffer.data(), n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            const uint64_t before = FModel.Stats().ScopeSamplesSent;
            FModel.ConsumeOutput(static_cast<std::size_t>(sent));
            NoteScopeSamplesSent(before);
            if (FOptions.Pacing)
                FPacer.Consume(static_cast<std::size_t>(sent));
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            FSocketFull = true;
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

void TSimServer::NoteScopeSamplesSent(uint64_t before)
{
    if (!FTimestamps)
        return;
    const uint64_t after = FModel.Stats().ScopeSamplesSent;
    if (after == before)
        return;
    // The clock is read after the send returned: the bytes are in the
    // socket by then.
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch())
            .count();
    for (uint64_t k = before; k < after; ++k)
        std::fprintf(FTimestamps, "%lld\n", static_cast<long long>(ns));
}

void TSimServer::RemoveSocket()
{
    if (FListen < 0)
        return;
    // Only our own socket: never a file that replaced it meanwhile.
    struct stat st
    {
    };
    if (::lstat(FPath.c_str(), &st) == 0 && st.st_dev == FSocketDevice && st.st_ino == FSocketInode)
        ::unlink(FPath.c_str());
    ::close(FListen);
    FListen = -1;
}

} // namespace VarnelSim
