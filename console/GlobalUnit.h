// SPDX-License-Identifier: GPL-3.0-or-later
// The three process-wide references of the console. The device session owns
// the connection manager and the reader thread and keeps the two references
// to them up to date; both are null while there is none.
#pragma once

class TMainForm;
class TConnection;
class TReadVarnelFrameThread;

extern TMainForm* MainForm;
extern TConnection* Connection;
extern TReadVarnelFrameThread* FrameReader;
