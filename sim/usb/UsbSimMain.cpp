// varnel-usb-sim: builds a virtual USB bus with emulated bridges, the
// simulated controller behind each, and runs a command on it.
#include "sim/usb/UsbEmulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* Usage =
    "usage: varnel-usb-sim [--bridge DESCRIPTION]... [--foreign-device]\n"
    "                      [--scope-rate N] [--scope-pattern signal|ramp] [--scope-only]\n"
    "                      [--noise P] [--seed N] [--help] -- COMMAND [ARG]...\n"
    "Runs COMMAND on a virtual USB bus with one emulated USB-serial bridge per\n"
    "--bridge (default: one, \"KWTP Emulated Controller\"), each with the simulated\n"
    "controller behind it. --foreign-device adds a USB device of another maker.\n"
    "Ends when COMMAND ends, with its exit status.\n";

volatile sig_atomic_t ChildPid = 0;

void ForwardSignal(int signal)
{
    if (ChildPid > 0)
        kill(ChildPid, signal);
}

bool ParseNumber(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

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
    VarnelSim::TModelOptions model;
    bool foreign = false;
    int i = 1;
    auto fail = [](const std::string& message) {
        std::fprintf(stderr, "varnel-usb-sim: %s\n%s", message.c_str(), Usage);
        return 2;
    };
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        double number = 0;
        if (arg == "--") {
            ++i;
            break;
        } else if (arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (arg == "--bridge" && hasValue) {
            VarnelUsb::TBridgeOptions bridge;
            bridge.Description = argv[++i];
            if (bridge.Description.empty() || bridge.Description.size() > 64)
                return fail("a description has 1 to 64 bytes");
            bridge.Serial = "KW" + std::to_string(100001 + bridges.size());
            bridges.push_back(bridge);
        } else if (arg == "--foreign-device") {
            foreign = true;
        } else if (arg == "--scope-rate" && hasValue && ParseNumber(argv[++i], number) &&
                   number >= 0 && number <= 100000) {
            model.ScopeRate = static_cast<uint32_t>(number);
        } else if (arg == "--scope-pattern" && hasValue) {
            const std::string pattern = argv[++i];
            if (pattern != "signal" && pattern != "ramp")
                return fail("scope pattern is signal or ramp");
            model.ScopePattern = pattern == "ramp" ? VarnelSim::_sp_ramp : VarnelSim::_sp_signal;
        } else if (arg == "--scope-only") {
            model.ScopeOnly = true;
        } else if (arg == "--noise" && hasValue && ParseNumber(argv[++i], number) && number >= 0 &&
                   number <= 1) {
            model.Noise = number;
        } else if (arg == "--seed" && hasValue && ParseNumber(argv[++i], number) && number >= 0) {
            model.Seed = static_cast<uint32_t>(number);
        } else {
            return fail("bad option or value: " + arg);
        }
    }
    if (i >= argc)
        return fail("no command given");
    if (bridges.empty())
        bridges.emplace_back();

    EnterMockEnvironment(argv);

    VarnelUsb::TUsbTestbed bus;
    for (auto& bridge : bridges) {
        bridge.Model = model;
        bus.AddBridge(bridge);
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
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "varnel-usb-sim: cannot run %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    ChildPid = child;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
