// SPDX-License-Identifier: GPL-3.0-or-later
#include "GlobalUnit.h"

#include "link/ConnectionUnit.h"
#include "protocol/ReadFrameUnit.h"

TMainForm* MainForm = nullptr;
std::unique_ptr<TConnection> Connection;
std::unique_ptr<TReadVarnelFrameThread> FrameReader;
