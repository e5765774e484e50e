// SPDX-License-Identifier: GPL-3.0-or-later
// The real varnel-usb-sim program with a minimal libftdi console as its
// command (usb-sim-client): the options it shares with varnel-sim, and the
// knock on demand.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;

class UsbSimProgramTest : public testing::Test
{
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/varnel-usb-sim-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        FDir = dir;
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(FDir, ignored);
    }

    // Runs varnel-usb-sim with these options and the client with its part;
    // the exit status (-1 when it did not end within a minute), standard
    // output and error in Output.
    int Run(const std::vector<std::string>& options, const std::vector<std::string>& part)
    {
        std::vector<std::string> args = {VARNEL_USB_SIM_BINARY};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("--");
        args.push_back(VARNEL_USB_SIM_CLIENT);
        args.insert(args.end(), part.begin(), part.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string log = FDir + "/output";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        const int spawned =
            ::posix_spawn(&pid, VARNEL_USB_SIM_BINARY, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0);
        int result = -1;
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (spawned == 0) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        Output = text.str();
        return result;
    }

    std::string FDir;
    std::string Output;
};

TEST_F(UsbSimProgramTest, SigusrKnocksTheLaserBehindTheBridge)
{
    ASSERT_EQ(Run({"--scope-rate", "0"}, {"knock"}), 0) << Output;
    EXPECT_NE(Output.find("knock on bridge 1: unlocked"), std::string::npos) << Output;
}

TEST_F(UsbSimProgramTest, SharedOptionsActOnTheEmulatedLine)
{
    struct TCase
    {
        std::vector<std::string> Options;
        std::vector<std::string> Part;
    };
    // At 38400 baud the line carries 768 frames a second in all, so paced
    // scope samples stay under 1700 in two seconds whatever the rate asked.
    // Opening the bridge resets the chip, which throws away what the
    // controller sent before: unpaced, the first frames are gone by then.
    const std::vector<TCase> cases = {
        {{"--scope-rate", "3000"}, {"count", "2", "300", "1700"}},
        {{"--scope-rate", "3000", "--no-pacing"}, {"count", "2", "2000", "7000"}},
        {{"--samples", "300", "--no-pacing"}, {"count", "2", "290", "300"}},
        {{"--drop-after", "1"}, {"dropped", "10"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Options.front() + " " + c.Options.back());
        EXPECT_EQ(Run(c.Options, c.Part), 0) << Output;
    }
}

TEST_F(UsbSimProgramTest, TimestampsEverySampleInOrder)
{
    const std::string file = FDir + "/timestamps";
    // Every sample that left the controller is in the file, the few the
    // chip's reset at opening may have taken as well.
    ASSERT_EQ(Run({"--samples", "400", "--timestamps", file}, {"count", "3", "390", "400"}), 0)
        << Output;
    std::ifstream in(file);
    std::vector<long long> times;
    for (long long t = 0; in >> t;)
        times.push_back(t);
    ASSERT_EQ(times.size(), 400u);
    for (std::size_t k = 1; k < times.size(); ++k)
        ASSERT_GE(times[k], times[k - 1]) << k;
}

TEST_F(UsbSimProgramTest, BadOptionIsAnError)
{
    EXPECT_EQ(Run({"--drift", "much"}, {"knock"}), 2);
    EXPECT_EQ(Run({"--description", "KWTP A"}, {"knock"}), 2); // varnel-sim's, not this one's
}

} // namespace
