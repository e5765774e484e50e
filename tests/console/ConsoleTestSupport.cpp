// SPDX-License-Identifier: GPL-3.0-or-later
#include "ConsoleTestSupport.h"

TModelLine::TModelLine(TFakeLine& line, VarnelSim::TControllerModel& model, int periodMs)
    : FFakeLine(line)
{
    FFakeLine.SetWriteHook([&model](const uint8_t* bytes, size_t count) {
        if (!model.IsConnected())
            model.Connect(VarnelSim::TClock::now());
        model.Receive(bytes, count);
    });
    QObject::connect(&FLine, &QTimer::timeout, [this, &model] {
        model.AdvanceTo(VarnelSim::TClock::now());
        if (model.PendingOutput() > 0)
            FFakeLine.Feed(model.TakeOutput());
    });
    FLine.start(periodMs);
}

TModelLine::~TModelLine()
{
    FLine.stop();
    FFakeLine.SetWriteHook({});
}

std::vector<std::array<uint8_t, 5>> CommandFrames(const std::vector<uint8_t>& written)
{
    std::vector<std::array<uint8_t, 5>> frames;
    for (size_t i = 0; i + 5 <= written.size(); i += 5)
        frames.push_back(
            {written[i], written[i + 1], written[i + 2], written[i + 3], written[i + 4]});
    return frames;
}

std::vector<int> CommandIds(const std::vector<uint8_t>& written)
{
    std::vector<int> ids;
    for (const auto& frame : CommandFrames(written))
        ids.push_back(frame[1]);
    return ids;
}
