// SPDX-License-Identifier: GPL-3.0-or-later
// Command lines of varnel-sim and varnel-usb-sim: the options they share
// (how the controller and its line behave) are parsed here for both.
#pragma once

#include "sim/ControllerModel.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace VarnelSim {

struct TSimOptions
{
    std::string Description = "KWTP Simulated Controller"; // varnel-sim only
    bool Pacing = true;
    std::optional<double> DropAfterSeconds;
    // Benchmark aid: when set, the monotonic time of every scope sample's
    // last byte handed to the socket goes to this file, one line each.
    std::string TimestampsFile;
    TModelOptions Model;
};

enum TParseOutcome
{
    _po_run,
    _po_help,
    _po_error
};

// An option the shared parser does not know, handed to the program.
struct TOptionArg
{
    const std::string& Name;
    // Takes the option's value (after '=', or the next argument); false, with
    // the message set, when there is none.
    std::function<bool(std::string& value)> Value;
    // The option was written with '=value': an error for one without a value.
    bool HasInlineValue;
};

enum TOptionTaken
{
    _ot_unknown,
    _ot_taken,
    _ot_error, // the message says why
};

using TProgramOption = std::function<TOptionTaken(const TOptionArg& option, std::string& message)>;

// Parses the options both simulator programs take (all of TSimOptions but
// the description, and --help), handing any other option to program. Without
// rest every argument is an option; with it, "--" ends the options and rest
// gets the index of the argument after it (args.size() when there is no
// "--"). On _po_error, message says what was wrong.
TParseOutcome ParseSharedSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                                    std::string& message, const TProgramOption& program,
                                    std::size_t* rest = nullptr);
// Help lines of the shared options, for both programs' usage.
std::string SharedSimOptionsUsage();

// varnel-sim: the arguments after the program name. On _po_error, message
// says what was wrong; on _po_run, message may hold a note for the user (a
// description the console will not list).
TParseOutcome ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                              std::string& message);

std::string SimUsage();

} // namespace VarnelSim
