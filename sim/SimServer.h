// SPDX-License-Identifier: GPL-3.0-or-later
// The socket side of varnel-sim: listens as a simulated bridge, serves one
// console at a time with the controller model, paces the output to the
// line rate and stops cleanly on SIGINT or SIGTERM; SIGUSR1 knocks the laser.
#pragma once

#include "sim/ControllerModel.h"
#include "sim/LinePacer.h"
#include "sim/SimOptions.h"

#include <cstdio>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace VarnelSim {

class TSimServer
{
public:
    explicit TSimServer(const TSimOptions& options);
    ~TSimServer();
    TSimServer(const TSimServer&) = delete;
    TSimServer& operator=(const TSimServer&) = delete;

    // Creates the bridges directory, replaces a socket left by a simulator
    // that is gone (refuses when one still answers on it), listens, and takes
    // SIGINT and SIGTERM over. On failure, error says why.
    bool Open(std::string& error);

    // Serves consoles until a signal arrives or the drop time has passed;
    // removes the socket and returns the exit status.
    int Run();

    const std::string& SocketPath() const { return FPath; }
    const TModelStats& Stats() const { return FModel.Stats(); }

private:
    void AcceptConsole();
    void CloseConsole(const char* why);
    // Reads commands while the output backlog has room; false when the
    // console has gone.
    bool ReadConsole(bool hungUp);
    bool BacklogFull() const;
    bool Flush(TClock::time_point now);
    void RemoveSocket();
    void NoteScopeSamplesSent(uint64_t before);
    // SIGUSR1: a knock at once.
    void KnockNow();
    // Tells standard error about knocks and locks lost since the last call.
    void NoteLockEvents();

    TSimOptions FOptions;
    TControllerModel FModel;
    TLinePacer FPacer;
    std::string FPath;
    int FListen = -1;
    int FConsole = -1;
    int FSignals = -1;
    dev_t FSocketDevice = 0;
    ino_t FSocketInode = 0;
    bool FSocketFull = false;
    // Output waiting in the model above which commands are not read.
    std::size_t FReadLimit = 0;
    std::optional<TClock::time_point> FDropAt;
    std::vector<uint8_t> FBuffer;
    std::FILE* FTimestamps = nullptr;
    uint64_t FKnocksNoted = 0;
    uint64_t FRiddenOutNoted = 0;
    uint64_t FRailLossesNoted = 0;
};

} // namespace VarnelSim
