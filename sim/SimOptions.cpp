// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/SimOptions.h"

#include "link/BridgeDirectory.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace VarnelSim {

namespace {

template <typename T> bool ParseNumber(const std::string& text, T& value)
{
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

std::string Format(double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
}

} // namespace

std::string SharedSimOptionsUsage()
{
    return "  --scope-rate N       scope samples per second (default 200; 0 for none)\n"
           "  --scope-pattern P    'signal' (default): the error signal of the simulated\n"
           "                       laser; 'ramp': raw values 0, 1, 2, ... modulo 65536\n"
           "  --scope-only         send no unsolicited frames other than scope samples\n"
           "  --samples N          stop the scope samples after N in all\n"
           "  --scope-after-command\n"
           "                       for benchmarks: start the scope samples with the\n"
           "                       console's first command, not when it connects\n"
           "  --no-pacing          send as fast as the other side takes instead of at the\n"
           "                       line rate\n"
           "  --noise P            corrupt each outgoing byte with probability P (0 to 1)\n"
           "  --drop-after S       S seconds after a console connects, vanish as if\n"
           "                       unplugged\n"
           "  --seed N             seed of the simulated noise, corruption and knocks\n"
           "                       (default 1)\n"
           "  --timestamps FILE    for benchmarks: write to FILE, for every scope sample, the\n"
           "                       monotonic clock (CLOCK_MONOTONIC, nanoseconds) when its\n"
           "                       last byte went out, one number a line\n"
           "  --knock-every S      knock the locked laser at random times, on average every\n"
           "                       S seconds: status 4 (unlocked); about a third of the\n"
           "                       knocks the loop rides out (status 2, then 3 on the same\n"
           "                       peak within a second), the rest leave the laser unlocked\n"
           "                       until a tuning command; SIGUSR1 knocks at once\n"
           "  --drift P            thermal drift while locked: the stabilisation mirror\n"
           "                       walks from the centre toward a rail at P percent of its\n"
           "                       travel a minute, and the lock is lost at the rail\n"
           "  --keep-state         keep the controller's state when the console goes, as\n"
           "                       a real controller does when its bridge is pulled out:\n"
           "                       the next console finds the laser as it was (still\n"
           "                       locked, say) and hears no status until one changes\n"
           "  --help               show this text and exit\n";
}

std::string SimUsage()
{
    return "Usage: varnel-sim [OPTION]...\n"
           "Simulates the laser controller for the Varnel console. The simulator appears\n"
           "to the console as a simulated bridge: a Unix-domain socket in the bridges\n"
           "directory, named after the description. It serves one console at a time and\n"
           "waits for the next one when a console disconnects.\n"
           "\n"
           "Options:\n"
           "  --description TEXT   description of the bridge (default \"KWTP Simulated\n"
           "                       Controller\"); the console lists only descriptions that\n"
           "                       contain \"KWTP\"; at most 63 bytes, no '/'\n" +
           SharedSimOptionsUsage() +
           "\n"
           "The line rate is 38400 baud: 3840 bytes, 768 frames per second. On\n"
           "--drop-after the socket is removed, the console dropped, and the program\n"
           "exits with status 0. --timestamps takes the time right after the sample's\n"
           "last byte went to the socket.\n"
           "\n"
           "The bridges directory is $XDG_RUNTIME_DIR/varnel/bridges, or\n"
           "/tmp/varnel-<uid>/bridges when XDG_RUNTIME_DIR is unset. A socket of the same\n"
           "name left by a simulator that is gone is replaced; a running one is not.\n"
           "SIGINT or SIGTERM removes the socket and exits with status 0; SIGUSR1 knocks\n"
           "the laser. On exit the number of scope samples sent is written to standard\n"
           "error.\n";
}

TParseOutcome ParseSharedSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                                    std::string& message, const TProgramOption& program,
                                    std::size_t* rest)
{
    message.clear();
    if (rest)
        *rest = args.size();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (rest && args[i] == "--") {
            *rest = i + 1;
            break;
        }
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                message = "option " + name + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto flag = [&]() {
            if (inlineValue) {
                message = "option " + name + " takes no value";
                return false;
            }
            return true;
        };
        auto bad = [&](const std::string& text, const char* what) {
            message = "invalid value '" + text + "' for " + name + ": " + what;
            return _po_error;
        };
        // A number of seconds or a rate: finite, within [low, high].
        auto real = [&](double& out, double low, double high) {
            std::string text;
            if (!value(text))
                return false;
            if (!ParseNumber(text, out) || !std::isfinite(out) || out < low || out > high) {
                message = "invalid value '" + text + "' for " + name + ": expected a number from " +
                          Format(low) + " to " + Format(high);
                return false;
            }
            return true;
        };

        std::string text;
        if (name == "--help") {
            if (!flag())
                return _po_error;
            return _po_help;
        } else if (name == "--scope-rate") {
            uint32_t rate = 0;
            if (!value(text))
                return _po_error;
            if (!ParseNumber(text, rate) || rate > 1'000'000)
                return bad(text, "expected a whole number from 0 to 1000000");
            options.Model.ScopeRate = rate;
        } else if (name == "--scope-pattern") {
            if (!value(text))
                return _po_error;
            if (text == "signal")
                options.Model.ScopePattern = _sp_signal;
            else if (text == "ramp")
                options.Model.ScopePattern = _sp_ramp;
            else
                return bad(text, "expected 'signal' or 'ramp'");
        } else if (name == "--scope-only") {
            if (!flag())
                return _po_error;
            options.Model.ScopeOnly = true;
        } else if (name == "--samples") {
            uint64_t samples = 0;
            if (!value(text))
                return _po_error;
            if (!ParseNumber(text, samples) || samples == 0)
                return bad(text, "expected a whole number above 0");
            options.Model.SampleLimit = samples;
        } else if (name == "--scope-after-command") {
            if (!flag())
                return _po_error;
            options.Model.ScopeAfterCommand = true;
        } else if (name == "--no-pacing") {
            if (!flag())
                return _po_error;
            options.Pacing = false;
        } else if (name == "--noise") {
            double p = 0;
            if (!value(text))
                return _po_error;
            if (!ParseNumber(text, p) || !(p >= 0.0 && p <= 1.0))
                return bad(text, "expected a probability from 0 to 1");
            options.Model.Noise = p;
        } else if (name == "--drop-after") {
            double s = 0;
            if (!value(text))
                return _po_error;
            if (!ParseNumber(text, s) || !std::isfinite(s) || s < 0.0 || s > 1e9)
                return bad(text, "expected a number of seconds, 0 or more");
            options.DropAfterSeconds = s;
        } else if (name == "--seed") {
            uint32_t seed = 0;
            if (!value(text))
                return _po_error;
            if (!ParseNumber(text, seed))
                return bad(text, "expected a whole number from 0 to 4294967295");
            options.Model.Seed = seed;
        } else if (name == "--timestamps") {
            if (!value(text))
                return _po_error;
            if (text.empty())
                return bad(text, "expected a file name");
            options.TimestampsFile = text;
        } else if (name == "--knock-every") {
            // A knock every few milliseconds would be no lock at all.
            if (!real(options.Model.KnockEverySeconds, 0.1, 1e9))
                return _po_error;
        } else if (name == "--keep-state") {
            if (!flag())
                return _po_error;
            options.Model.KeepState = true;
        } else if (name == "--drift") {
            // 6000 % a minute crosses from the centre to a rail in half a second.
            if (!real(options.Model.DriftPercentPerMinute, 0.0, 6000.0))
                return _po_error;
        } else {
            const TOptionArg option{name, value, inlineValue.has_value()};
            switch (program ? program(option, message) : _ot_unknown) {
            case _ot_taken:
                break;
            case _ot_error:
                return _po_error;
            case _ot_unknown:
                message = "unknown option '" + args[i] + "'";
                return _po_error;
            }
        }
    }
    return _po_run;
}

TParseOutcome ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                              std::string& message)
{
    auto description = [&options](const TOptionArg& option, std::string& why) {
        if (option.Name != "--description")
            return _ot_unknown;
        std::string text;
        if (!option.Value(text))
            return _ot_error;
        const char* problem = nullptr;
        if (text.empty())
            problem = "the description must not be empty";
        else if (text.size() > VarnelBridges::MaxDescriptionLength)
            problem = "the description has more than 63 bytes";
        else if (text.find('/') != std::string::npos || text == "." || text == "..")
            problem = "the description must be a plain file name";
        if (problem) {
            why = "invalid value '" + text + "' for --description: " + problem;
            return _ot_error;
        }
        options.Description = text;
        return _ot_taken;
    };
    const TParseOutcome outcome = ParseSharedSimOptions(args, options, message, description);
    if (outcome == _po_run && options.Description.find("KWTP") == std::string::npos)
        message = "note: the console lists only bridges whose description contains \"KWTP\"";
    return outcome;
}

} // namespace VarnelSim
