// SPDX-License-Identifier: GPL-3.0-or-later
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"
#include "console/model/ConsoleSession.h"
#include "console/model/LockHistory.h"

#include <QTest>

#include <gtest/gtest.h>

void ConnectByHand(TMainForm& form, int row)
{
    form.SearchUrzadzenButtonClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.SearchRunning(); }, 10000));
    form.DeviceListListBox->setCurrentRow(row);
    form.ConnectButtonClick();
    ASSERT_EQ(form.StatusLabel->text(), "Connected");
    ASSERT_TRUE(form.Session().Connected());
}

void Deliver(TMainForm& form, TFakeLine& line, const std::vector<std::vector<uint8_t>>& frames)
{
    static const std::vector<uint8_t> BadFrame = {0xAA, 0x02, 0x00, 0x00, 0x00};
    const uint32_t expected = form.State().CRCErrorCounter + 1;
    for (const std::vector<uint8_t>& frame : frames)
        line.Feed(frame);
    line.Feed(BadFrame);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.State().CRCErrorCounter == expected; }, 10000));
    ASSERT_EQ(form.CRCErrorsLabel->text(), QString::number(expected));
    ASSERT_EQ(form.LockHistory().Facts().CRCErrors, expected);
}

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
