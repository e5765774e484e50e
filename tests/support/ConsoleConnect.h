// SPDX-License-Identifier: GPL-3.0-or-later
// The one way the drills and the benchmark connect the window to a
// simulator: search, select the simulator's bridge and connect, as the
// operator would.
#pragma once

#include <string>

class TMainForm;

// True once the window shows the link open; false when the search does not
// end within ten seconds, finds no bridge of that description, or the
// connect fails.
bool ConnectToSimulator(TMainForm& form, const std::string& description);
