// SPDX-License-Identifier: GPL-3.0-or-later
// The three process-wide references of the console. The window owns the
// connection manager and the reader thread; it creates them and releases
// them in its own order when it is destroyed.
#pragma once

#include <memory>

class TMainForm;
class TConnection;
class TReadVarnelFrameThread;

extern TMainForm* MainForm;
extern std::unique_ptr<TConnection> Connection;
extern std::unique_ptr<TReadVarnelFrameThread> FrameReader;
