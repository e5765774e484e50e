// SPDX-License-Identifier: GPL-3.0-or-later
// What the console's tests share: a controller model behind the fake line,
// the program's environment over the fake line, connecting by hand and
// delivering frames through the window, and the command frames the console
// wrote.
#pragma once

#include "DeviceFrames.h"
#include "FakeLine.h"

#include "console/ConsoleEnvironment.h"
#include "link/ConnectionUnit.h"
#include "sim/ControllerModel.h"

#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class TMainForm;

// Puts a controller model behind a fake line for as long as it lives:
// the model hears what the console writes, connecting at the first byte, and
// its output is fed to the line every few milliseconds, on the main thread.
class TModelLine
{
public:
    TModelLine(TFakeLine& line, VarnelSim::TControllerModel& model, int periodMs = 5);
    ~TModelLine();

    TModelLine(const TModelLine&) = delete;
    TModelLine& operator=(const TModelLine&) = delete;

private:
    TFakeLine& FFakeLine;
    QTimer FLine;
};

// The program's environment, with the fake line plugged in as the link's
// only bridge driver.
inline TConsoleEnvironment FakeLineEnvironment(std::shared_ptr<TFakeLine> bridge)
{
    PlugIn(std::move(bridge));
    TConsoleEnvironment environment = TConsoleEnvironment::Default();
    // The machine's journal is left alone; a test that reads the records
    // gives a sink of its own.
    environment.Journal.reset();
    // The fake line answers a search at once: it runs in place, so that a
    // test sees its result as soon as the search is asked for.
    environment.SearchOnOwnThread = false;
    return environment;
}

// Searches, selects the row of the device list and connects, as the
// operator does on the device panel; fails the test unless the link opens.
void ConnectByHand(TMainForm& form, int row = 0);

// Feeds the frames and a frame with a wrong checksum after them, and waits
// until the window has counted that one: by then every frame before it has
// been handled. Fails the test unless the count, its label and the facts
// agree.
void Deliver(TMainForm& form, TFakeLine& line, const std::vector<std::vector<uint8_t>>& frames);

// The command frames in a stream of written bytes, five bytes each.
std::vector<std::array<uint8_t, 5>> CommandFrames(const std::vector<uint8_t>& written);
// The command ids of those frames, in order.
std::vector<int> CommandIds(const std::vector<uint8_t>& written);
