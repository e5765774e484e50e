// SPDX-License-Identifier: GPL-3.0-or-later
// The real varnel-sim program over its socket, in a private runtime directory.
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace VarnelSimTest;

const std::string Description = "KWTP Simulated Controller";

class SimProgramTest : public testing::Test
{
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/varnel-sim-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        FRuntime = dir;
        FBridges = FRuntime + "/varnel/bridges";
        FSocket = FBridges + "/" + Description + ".sock";
    }

    void TearDown() override
    {
        for (pid_t pid : FChildren) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(FRuntime, ignored);
    }

    pid_t Start(std::vector<std::string> args)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0)
                env.emplace_back(*e);
        env.push_back("XDG_RUNTIME_DIR=" + FRuntime);
        args.insert(args.begin(), VARNEL_SIM_BINARY);
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        EXPECT_EQ(
            ::posix_spawn(&pid, VARNEL_SIM_BINARY, nullptr, nullptr, argv.data(), envp.data()), 0);
        FChildren.push_back(pid);
        return pid;
    }

    // Waits for the process to end; -1 if it did not within the limit.
    int Wait(pid_t pid, std::chrono::seconds limit = 10s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(FChildren, pid);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

    int Connect()
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, FSocket.c_str(), sizeof(address.sun_path) - 1);
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
                return fd;
            ::close(fd);
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

    // Reads device frames with a good checksum and hands each to onFrame
    // until it returns true (then true), the time is up or the connection
    // closes (then false).
    template <typename TOnFrame>
    static bool ReadFrames(int fd, std::chrono::seconds limit, TOnFrame onFrame)
    {
        std::vector<uint8_t> data;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            uint8_t buffer[512];
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0)
                return false;
            data.insert(data.end(), buffer, buffer + got);
            std::size_t i = 0;
            for (; i + 5 <= data.size(); i += 5)
                if (data[i] == 0xAA && ChecksumOK(&data[i]) && onFrame(&data[i]))
                    return true;
            data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return false;
    }

    // Reads device frames until one with this id arrives; returns its value
    // or -1 on time-out or a closed connection.
    static int ReadAnswer(int fd, uint8_t id)
    {
        int value = -1;
        ReadFrames(fd, 10s, [&](const uint8_t* frame) {
            if (frame[1] != id)
                return false;
            value = frame[2] | frame[3] << 8;
            return true;
        });
        return value;
    }

    // Reads device frames until status `until` arrives (or the time is up);
    // returns the statuses and peak ids on the way ("s3", "p6").
    static std::vector<std::string> ReadStory(int fd, uint8_t until,
                                              std::chrono::seconds limit = 10s)
    {
        std::vector<std::string> story;
        ReadFrames(fd, limit, [&](const uint8_t* frame) {
            if (frame[1] == 18)
                story.push_back("p" + std::to_string(frame[2]));
            if (frame[1] != 3)
                return false;
            story.push_back("s" + std::to_string(frame[2]));
            return frame[2] == until;
        });
        return story;
    }

    static void LockOn(int fd, uint8_t peak)
    {
        const std::vector<uint8_t> target = Command(34, 0, peak);
        ASSERT_EQ(::send(fd, target.data(), target.size(), MSG_NOSIGNAL), 5);
        const std::vector<std::string> story = ReadStory(fd, 3);
        ASSERT_GE(story.size(), 2u);
        EXPECT_EQ(story[story.size() - 2], "p" + std::to_string(peak));
    }

    bool SocketExists() const
    {
        struct stat st
        {
        };
        return ::lstat(FSocket.c_str(), &st) == 0;
    }

    std::string FRuntime, FBridges, FSocket;
    std::vector<pid_t> FChildren;
};

TEST_F(SimProgramTest, ServesAConsoleAndStopsCleanly)
{
    // A socket left behind by a simulator that died: nobody listens on it.
    ASSERT_EQ(::mkdir((FRuntime + "/varnel").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(FBridges.c_str(), 0700), 0);
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, FSocket.c_str(), sizeof(address.sun_path) - 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(stale);
    }

    const pid_t sim = Start({});
    const int console = Connect();
    ASSERT_GE(console, 0);
    const std::vector<uint8_t> read = Command(53); // phase
    ASSERT_EQ(::send(console, read.data(), read.size(), MSG_NOSIGNAL), 5);
    EXPECT_EQ(ReadAnswer(console, 53), 180);

    // A second simulator under the same name refuses to start.
    EXPECT_EQ(Wait(Start({})), 1);
    EXPECT_TRUE(SocketExists());

    ASSERT_EQ(::kill(sim, SIGTERM), 0);
    EXPECT_EQ(Wait(sim), 0);
    EXPECT_FALSE(SocketExists());
    ::close(console);
}

TEST_F(SimProgramTest, DropAfterVanishesAsIfUnplugged)
{
    const pid_t sim = Start({"--drop-after", "0.5", "--no-pacing"});
    const int console = Connect();
    ASSERT_GE(console, 0);
    // The line goes dead: reading ends with the connection closed, long
    // before the reader would give up waiting.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAnswer(console, 200), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(Wait(sim), 0);
    EXPECT_FALSE(SocketExists());
    ::close(console);
}

// Sends phase read requests on a non-blocking socket and never reads, until
// the line blocks (nothing taken for two seconds) or the cap is reached;
// returns the bytes taken.
std::size_t FloodWithReadRequests(int console, bool& blocked)
{
    const std::vector<uint8_t> read = Command(53); // phase
    std::vector<uint8_t> requests;
    for (int i = 0; i < 4096; ++i)
        requests.insert(requests.end(), read.begin(), read.end());
    constexpr std::size_t Cap = 64u << 20;
    std::size_t sent = 0;
    blocked = false;
    while (sent < Cap && !blocked) {
        const std::size_t offset = sent % requests.size();
        const ssize_t n =
            ::send(console, requests.data() + offset, requests.size() - offset, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else {
            EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
            pollfd p{console, POLLOUT, 0};
            blocked = ::poll(&p, 1, 2000) == 0;
        }
    }
    return sent;
}

TEST_F(SimProgramTest, AConsoleThatNeverTakesItsAnswersIsHeldBackAndLosesNone)
{
    Start({"--no-pacing", "--scope-only", "--scope-rate", "0"});
    const int console = Connect();
    ASSERT_GE(console, 0);
    ASSERT_EQ(::fcntl(console, F_SETFL, ::fcntl(console, F_GETFL) | O_NONBLOCK), 0);

    // The simulator must stop taking requests, so that the line blocks long
    // before the cap: its backlog and the two socket buffers.
    bool blocked = false;
    const std::size_t sent = FloodWithReadRequests(console, blocked);
    ASSERT_TRUE(blocked) << sent << " bytes of requests taken";
    EXPECT_LT(sent, 16u << 20);

    // Every request that was taken is answered, in full.
    const std::size_t expected = sent / 5;
    std::size_t answers = 0;
    std::vector<uint8_t> data;
    const auto end = std::chrono::steady_clock::now() + 120s;
    while (answers < expected && std::chrono::steady_clock::now() < end) {
        pollfd p{console, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        uint8_t buffer[64 * 1024];
        const ssize_t got = ::recv(console, buffer, sizeof(buffer), 0);
        ASSERT_GT(got, 0);
        data.insert(data.end(), buffer, buffer + got);
        std::size_t i = 0;
        for (; i + 5 <= data.size(); i += 5, ++answers) {
            ASSERT_TRUE(ChecksumOK(&data[i])) << "answer " << answers;
            ASSERT_EQ(data[i + 1], 53) << "answer " << answers;
            ASSERT_EQ(data[i + 2] | data[i + 3] << 8, 180) << "answer " << answers;
        }
        data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(i));
    }
    EXPECT_EQ(answers, expected);
    ::close(console);
}

TEST_F(SimProgramTest, AConsoleThatHangsUpWithAFullBacklogMakesWayForTheNext)
{
    Start({"--no-pacing", "--scope-only", "--scope-rate", "0"});
    const int first = Connect();
    ASSERT_GE(first, 0);
    ASSERT_EQ(::fcntl(first, F_SETFL, ::fcntl(first, F_GETFL) | O_NONBLOCK), 0);
    bool blocked = false;
    FloodWithReadRequests(first, blocked);
    ASSERT_TRUE(blocked);
    ::close(first);

    // Until the simulator has let the first one go, a second console is
    // hung up on at once; then it is served.
    const std::vector<uint8_t> read = Command(53);
    int answer = -1;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (answer < 0 && std::chrono::steady_clock::now() < end) {
        const int next = Connect();
        ASSERT_GE(next, 0);
        if (::send(next, read.data(), read.size(), MSG_NOSIGNAL) == 5)
            answer = ReadAnswer(next, 53);
        ::close(next);
    }
    EXPECT_EQ(answer, 180);
}

TEST_F(SimProgramTest, SigusrKnocksTheLockedLaser)
{
    const pid_t sim = Start({"--scope-rate", "0", "--no-pacing"});
    const int console = Connect();
    ASSERT_GE(console, 0);
    // Nothing locked yet: the knock does nothing, and the simulator runs on.
    ASSERT_EQ(::kill(sim, SIGUSR1), 0);
    LockOn(console, 6);
    ASSERT_EQ(::kill(sim, SIGUSR1), 0);
    EXPECT_EQ(ReadStory(console, 4).back(), "s4");
    // A relock finds the same peak, whether the loop rode the knock out or not.
    LockOn(console, 6);
    ::close(console);
    ASSERT_EQ(::kill(sim, SIGTERM), 0);
    EXPECT_EQ(Wait(sim), 0);
}

TEST_F(SimProgramTest, RandomKnocksAndDriftUnlockByThemselves)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--knock-every", "0.5"}, {"--drift=1200"}, // the rail 2.5 s after the lock
    };
    for (std::vector<std::string> options : cases) {
        SCOPED_TRACE(options.front());
        options.insert(options.end(), {"--scope-rate", "0", "--no-pacing"});
        const pid_t sim = Start(options);
        const int console = Connect();
        ASSERT_GE(console, 0);
        LockOn(console, 4);
        EXPECT_EQ(ReadStory(console, 4, 20s).back(), "s4");
        ::close(console);
        ASSERT_EQ(::kill(sim, SIGTERM), 0);
        EXPECT_EQ(Wait(sim), 0);
    }
}

TEST_F(SimProgramTest, BadOptionOrDirectoryIsAnError)
{
    EXPECT_EQ(Wait(Start({"--scope-rate", "many"})), 2);
    EXPECT_EQ(Wait(Start({"--knock-every", "0"})), 2);
    // The runtime directory holds a file where the program's directory belongs.
    std::ofstream(FRuntime + "/varnel") << "not a directory\n";
    EXPECT_EQ(Wait(Start({})), 1);
}

} // namespace
