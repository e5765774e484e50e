// Command line of varnel-sim.
#pragma once

#include "sim/ControllerModel.h"

#include <optional>
#include <string>
#include <vector>

namespace VarnelSim {

struct TSimOptions
{
    std::string Description = "KWTP Simulated Controller";
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

// Parses the arguments after the program name. On _po_error, message says
// what was wrong; on _po_run, warning may hold a note for the user (a
// description the console will not list).
TParseOutcome ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                              std::string& message);

std::string SimUsage();

} // namespace VarnelSim
