// SPDX-License-Identifier: GPL-3.0-or-later
// varnel-usb-sim: builds a virtual USB bus with emulated bridges, the
// simulated controller behind each, and runs a command on it.
#include "sim/SimOptions.h"
#include "sim/usb/UsbEmulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::string Usage()
{
    return "Usage: varnel-usb-sim [OPTION]... -- COMMAND [ARG]...\n"
           "Runs COMMAND on a virtual USB bus with one emulated USB-serial bridge per\n"
           "--bridge, each with the simulated controller behind it, and ends when COMMAND\n"
           "ends, with its exit status.\n"
           "\n"
           "Options:\n"
           "  --bridge TEXT        a bridge with this description (1 to 64 bytes); default\n"
           "                       one, \"KWTP Emulated Controller\"\n"
           "  --foreign-device     add a USB device of another maker\n" +
           VarnelSim::SharedSimOptionsUsage() +
           "\n"
           "The line rate is the one COMMAND sets on the bridge. --drop-after unplugs\n"
           "each bridge S seconds after a program first claims it; it stays unplugged.\n"
           "--timestamps records the first bridge's scope samples, when their last byte\n"
           "left the controller. SIGUSR1 knocks the laser behind every bridge; SIGINT,\n"
           "SIGTERM and SIGHUP are passed on to COMMAND.\n";
}

volatile sig_atomic_t ChildPid = 0;

void ForwardSignal(int signal)
{
    if (ChildPid > 0)
        kill(ChildPid, signal);
}

// What the program does beside COMMAND, on a thread of its own: knocks on
// SIGUSR1, unplugs on --drop-after, writes the timestamps.
class TDrills
{
public:
    TDrills(const VarnelSim::TSimOptions& options, std::vector<VarnelUsb::TEmulatedBridge*> bridges,
            std::FILE* timestamps)
        : FOptions(options), FBridges(std::move(bridges)), FTimestamps(timestamps),
          FClaimedAt(FBridges.size())
    {
    }

    void Start()
    {
        FThread = std::thread([this] { Run(); });
    }

    void Stop()
    {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        WriteTimestamps();
    }

private:
    void Run()
    {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        const timespec tick{0, 20'000'000};
        while (!FStop) {
            if (sigtimedwait(&usr1, nullptr, &tick) == SIGUSR1)
                Knock();
            DropAfter();
            WriteTimestamps();
        }
    }

    void Knock()
    {
        for (std::size_t k = 0; k < FBridges.size(); ++k) {
            const char* what = "nothing locked, no effect";
            switch (FBridges[k]->Knock()) {
            case VarnelSim::_ko_not_locked:
                break;
            case VarnelSim::_ko_ridden_out:
                what = "unlocked, the loop rides it out";
                break;
            case VarnelSim::_ko_lost:
                what = "unlocked until a tuning command";
                break;
            }
            std::fprintf(stderr, "varnel-usb-sim: knock on bridge %zu: %s\n", k + 1, what);
        }
    }

    void DropAfter()
    {
        if (!FOptions.DropAfterSeconds)
            return;
        const auto after = std::chrono::duration_cast<VarnelUsb::TClock::duration>(
            std::chrono::duration<double>(*FOptions.DropAfterSeconds));
        const auto now = VarnelUsb::TClock::now();
        for (std::size_t k = 0; k < FBridges.size(); ++k) {
            VarnelUsb::TEmulatedBridge& bridge = *FBridges[k];
            if (!FClaimedAt[k] && bridge.Claimed())
                FClaimedAt[k] = now;
            if (FClaimedAt[k] && now >= *FClaimedAt[k] + after && bridge.Plugged()) {
                std::fprintf(stderr, "varnel-usb-sim: unplugging bridge %zu\n", k + 1);
                bridge.Unplug();
            }
        }
    }

    void WriteTimestamps()
    {
        if (!FTimestamps || FBridges.empty())
            return;
        for (const VarnelUsb::TSampleSent& sample : FBridges.front()->TakeSentSamples())
            std::fprintf(
                FTimestamps, "%lld\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           sample.When.time_since_epoch())
                                           .count()));
    }

    const VarnelSim::TSimOptions& FOptions;
    std::vector<VarnelUsb::TEmulatedBridge*> FBridges;
    std::FILE* FTimestamps;
    std::vector<std::optional<VarnelUsb::TClock::time_point>> FClaimedAt;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Makes sure this process runs under umockdev's preload library: a child
// started later inherits it, and only with it does the testbed reach clients.
void EnterMockEnvironment(char** argv)
{
    if (VarnelUsb::TUsbTestbed::InMockEnvironment())
        return;
    const char* old = std::getenv("LD_PRELOAD");
    std::string preload = "libumockdev-preload.so.0";
    if (old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // A sanitizer build would refuse a preload that comes before its runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = asan && *asan ? std::string(asan) + ":" : std::string();
    setenv("ASAN_OPTIONS", (asanOptions + "verify_asan_link_order=0").c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "varnel-usb-sim: cannot restart under umockdev: %s\n",
                 std::strerror(errno));
    std::exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<VarnelUsb::TBridgeOptions> bridges;
    VarnelSim::TSimOptions options;
    bool foreign = false;
    auto usbOption = [&](const VarnelSim::TOptionArg& option, std::string& message) {
        if (option.Name == "--foreign-device") {
            if (option.HasInlineValue) {
                message = "option --foreign-device takes no value";
                return VarnelSim::_ot_error;
            }
            foreign = true;
            return VarnelSim::_ot_taken;
        }
        if (option.Name != "--bridge")
            return VarnelSim::_ot_unknown;
        VarnelUsb::TBridgeOptions bridge;
        if (!option.Value(bridge.Description))
            return VarnelSim::_ot_error;
        if (bridge.Description.empty() || bridge.Description.size() > 64) {
            message = "a description has 1 to 64 bytes";
            return VarnelSim::_ot_error;
        }
        bridge.Serial = "KW" + std::to_string(100001 + bridges.size());
        bridges.push_back(bridge);
        return VarnelSim::_ot_taken;
    };
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string message;
    std::size_t rest = 0;
    switch (VarnelSim::ParseSharedSimOptions(args, options, message, usbOption, &rest)) {
    case VarnelSim::_po_help:
        std::fputs(Usage().c_str(), stdout);
        return 0;
    case VarnelSim::_po_error:
        std::fprintf(stderr, "varnel-usb-sim: %s\n%s", message.c_str(), Usage().c_str());
        return 2;
    case VarnelSim::_po_run:
        break;
    }
    if (rest >= args.size()) {
        std::fprintf(stderr, "varnel-usb-sim: no command given\n%s", Usage().c_str());
        return 2;
    }
    const int i = static_cast<int>(rest) + 1; // COMMAND in argv
    if (bridges.empty())
        bridges.emplace_back();

    EnterMockEnvironment(argv);

    std::FILE* timestamps = nullptr;
    if (!options.TimestampsFile.empty()) {
        timestamps = std::fopen(options.TimestampsFile.c_str(), "w");
        if (!timestamps) {
            std::fprintf(stderr, "varnel-usb-sim: cannot create %s: %s\n",
                         options.TimestampsFile.c_str(), std::strerror(errno));
            return 1;
        }
    }
    // SIGUSR1 waits for the drills' thread: blocked here, before the
    // testbed starts its threads, and again open for COMMAND.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);

    VarnelSim::TModelOptions model = options.Model;
    // Unpaced, the chip's buffer holds the controller back; the model's
    // backlog only bridges the time until the host asks again.
    if (!options.Pacing)
        model.MaxBacklog = std::max<std::size_t>(model.MaxBacklog, 1 << 20);
    VarnelUsb::TUsbTestbed bus;
    std::vector<VarnelUsb::TEmulatedBridge*> controllers;
    for (auto& bridge : bridges) {
        bridge.Model = model;
        bridge.Unpaced = !options.Pacing;
        controllers.push_back(&bus.AddBridge(bridge));
    }
    if (foreign) {
        VarnelUsb::TBridgeOptions other;
        other.Vendor = 0x1d50;
        other.Product = 0x6018;
        other.Release = 0x0100;
        other.Description = "KWTP Other Device";
        other.Foreign = true;
        bus.AddBridge(other);
    }
    // Passed explicitly: the child may build its environment from a copy
    // taken before the testbed existed.
    setenv("UMOCKDEV_DIR", bus.RootDir().c_str(), 1);
    // The emulated device tree holds no sound card, and a sound library that
    // probes it goes through the preload's table of open devices, which
    // overflows after a few alerts and ends the child. The null sound driver
    // (or none at all: the console then beeps through the toolkit) keeps the
    // child's alerts off the emulated tree.
    if (!getenv("CANBERRA_DRIVER"))
        setenv("CANBERRA_DRIVER", "null", 1);

    struct sigaction action = {};
    action.sa_handler = ForwardSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    const pid_t child = fork();
    if (child < 0) {
        std::perror("varnel-usb-sim: fork");
        return 1;
    }
    if (child == 0) {
        pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "varnel-usb-sim: cannot run %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    ChildPid = child;
    TDrills drills(options, controllers, timestamps);
    drills.Start();
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    drills.Stop();
    if (timestamps)
        std::fclose(timestamps);
    for (std::size_t k = 0; k < controllers.size(); ++k) {
        const VarnelSim::TModelStats stats = controllers[k]->ModelStats();
        if (stats.Knocks > 0 || stats.RailLosses > 0)
            std::fprintf(stderr,
                         "varnel-usb-sim: bridge %zu: knocks on a lock: %llu (ridden out: %llu); "
                         "locks lost at the rail: %llu\n",
                         k + 1, static_cast<unsigned long long>(stats.Knocks),
                         static_cast<unsigned long long>(stats.KnocksRiddenOut),
                         static_cast<unsigned long long>(stats.RailLosses));
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
