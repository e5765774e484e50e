// SPDX-License-Identifier: GPL-3.0-or-later
// The console program; everything it does is in RunConsole.
#include "console/ConsoleProgram.h"

int main(int argc, char* argv[])
{
    return RunConsole(argc, argv);
}
