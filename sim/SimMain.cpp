// SPDX-License-Identifier: GPL-3.0-or-later
// varnel-sim: a simulated laser controller that the console finds as a bridge.
#include "sim/SimOptions.h"
#include "sim/SimServer.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    using namespace VarnelSim;

    const std::vector<std::string> args(argv + 1, argv + argc);
    TSimOptions options;
    std::string message;
    switch (ParseSimOptions(args, options, message)) {
    case _po_help:
        std::fputs(SimUsage().c_str(), stdout);
        return 0;
    case _po_error:
        std::fprintf(stderr, "varnel-sim: %s\nTry 'varnel-sim --help' for more information.\n",
                     message.c_str());
        return 2;
    case _po_run:
        if (!message.empty())
            std::fprintf(stderr, "varnel-sim: %s\n", message.c_str());
        break;
    }

    TSimServer server(options);
    std::string error;
    if (!server.Open(error)) {
        std::fprintf(stderr, "varnel-sim: %s\n", error.c_str());
        return 1;
    }
    const int status = server.Run();
    const TModelStats& stats = server.Stats();
    std::fprintf(stderr, "varnel-sim: scope samples sent: %llu\n",
                 static_cast<unsigned long long>(stats.ScopeSamplesSent));
    if (stats.PeriodicFramesSkipped > 0)
        std::fprintf(stderr, "varnel-sim: periodic frames skipped while the line was full: %llu\n",
                     static_cast<unsigned long long>(stats.PeriodicFramesSkipped));
    if (stats.BadCommandFrames > 0)
        std::fprintf(stderr, "varnel-sim: command frames with a bad checksum: %llu\n",
                     static_cast<unsigned long long>(stats.BadCommandFrames));
    if (stats.Knocks > 0 || stats.RailLosses > 0)
        std::fprintf(stderr,
                     "varnel-sim: knocks on a lock: %llu (ridden out: %llu); locks lost at the "
                     "rail: %llu\n",
                     static_cast<unsigned long long>(stats.Knocks),
                     static_cast<unsigned long long>(stats.KnocksRiddenOut),
                     static_cast<unsigned long long>(stats.RailLosses));
    return status;
}
