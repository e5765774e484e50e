// SPDX-License-Identifier: GPL-3.0-or-later
// The console program from start to exit, shared by the varnel executable
// and by the drills that run the whole program as a process of its own.
#pragma once

#include "console/publish/MetricsEndpoint.h" // MetricsListenFailedExitCode

#include <functional>
#include <memory>

class TConsoleSession;
class TMainForm;

// Makes the one window on the console's session; empty makes a plain
// TMainForm.
using TMakeMainForm = std::function<std::unique_ptr<TMainForm>(TConsoleSession&)>;

// Keeps the machine awake, applies the visual style, builds the console's
// session and hands it to the window and the publishers, shows the window and
// runs until the window is closed, then releases everything in order and
// returns the exit code. SIGTERM, SIGINT and SIGHUP close the window as the
// operator does: the data log is written out and closed and the link is
// closed before the process ends, so logging out or a kill loses nothing.
// A metrics endpoint asked for on the command line that cannot listen ends
// the program with this code, before the window shows; asked for in the
// settings file, the console runs on and says so on the window.
int RunConsole(int& argc, char** argv, const TMakeMainForm& makeWindow = {});
