// SPDX-License-Identifier: GPL-3.0-or-later
#include "GlobalUnit.h"

TMainForm* MainForm = nullptr;
TConnection* Connection = nullptr;
TReadVarnelFrameThread* FrameReader = nullptr;
