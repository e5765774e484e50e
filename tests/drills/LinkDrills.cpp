// SPDX-License-Identifier: GPL-3.0-or-later
// The link under stress: a noisy line, and a controller unplugged and plugged
// in again twenty times while the simple menu watches.
#include "DrillSupport.h"

#include "console/SimpleMenuPanel.h"
#include "console/model/ConsoleSession.h"
#include "link/ConnectionUnit.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace VarnelDrills;
using namespace std::chrono_literals;

double Milliseconds(TClock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

TEST(LinkDrill, NoisyLineIsCountedAndEveryResynchronisationDeliversAgain)
{
    TSimProcess sim;
    ASSERT_TRUE(sim.Start({"--scope-only", "--scope-rate", "768", "--scope-pattern", "ramp",
                           "--noise", "0.01", "--seed", "7"}));
    TRecordingForm form;
    form.show();
    form.SimpleMenu().NextButtonClick();
    ASSERT_TRUE(ConnectToSimulator(form, SimDescription));

    RunEventsFor(3000ms);
    const std::size_t beforeLastSecond = form.Samples.size();
    RunEventsFor(1000ms);
    const std::size_t handled = form.Samples.size();
    const std::optional<uint64_t> sent = sim.Stop();
    ASSERT_TRUE(sent.has_value());

    // About one frame in twenty is hit; every hit is counted and shown.
    EXPECT_GT(form.State().CRCErrorCounter, 20u);
    EXPECT_EQ(form.CRCErrorsLabel->text(), QString::number(form.State().CRCErrorCounter));
    EXPECT_GE(handled, *sent * 8 / 10) << "sent " << *sent;
    // Still delivering at the end, not stuck after some resynchronisation.
    EXPECT_GT(handled - beforeLastSecond, 500u);

    // The samples handled follow the ramp: after each damaged stretch the
    // scan finds the frames again within a few frames. (Two corrupted bytes
    // of one frame can still add up right, rarely; allow for that.)
    std::size_t onRamp = 0;
    uint32_t widestGap = 0;
    for (std::size_t k = 1; k < form.Samples.size(); ++k) {
        const uint32_t step = (form.Samples[k] - form.Samples[k - 1]) & 0xFFFFu;
        if (step >= 1 && step <= 64) {
            ++onRamp;
            widestGap = std::max(widestGap, step);
        }
    }
    ASSERT_GT(form.Samples.size(), 1u);
    EXPECT_GE(onRamp, (form.Samples.size() - 1) * 99 / 100);
    EXPECT_LE(widestGap, 16u);
}

// What the unplug cycles measured: the slowest times and the share of a core
// the console took while the controller was gone.
struct TUnplugFigures
{
    double SlowestReconnect = 0;
    double SlowestError = 0;
    double GoneCpu = 0;
    double GoneWall = 0;
};

// Unplugs and plugs in the controller `cycles` times while the simple menu
// watches: it comes back by itself and live, and "Connection error" shows
// each time it goes. With checkLeaks, nothing the cycles open stays open.
TUnplugFigures UnplugCycles(int cycles, bool checkLeaks)
{
    TRecordingForm form;
    form.show();
    EXPECT_TRUE(form.ConnectionTimer->isActive());

    TUnplugFigures figures;
    int descriptorsBefore = -1;
    int threadsBefore = -1;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        TSimProcess sim;
        if (!sim.Start({"--drop-after", "0.8"})) {
            ADD_FAILURE() << "the simulator did not start";
            return figures;
        }
        const TClock::time_point plugged = TClock::now();

        // Back by itself, and live: the controller's first status arrives.
        if (!WaitUntil([&] { return form.Session().Connected(); }, 10000ms)) {
            ADD_FAILURE() << "not connected again";
            return figures;
        }
        figures.SlowestReconnect =
            std::max(figures.SlowestReconnect, Milliseconds(TClock::now() - plugged));
        EXPECT_TRUE(WaitUntil(
            [&] { return form.SimpleStatusPanel->text() != QLatin1String("Connection error"); },
            10000ms));

        // Unplugged: "Connection error" once the controller is gone.
        EXPECT_TRUE(WaitUntil([&] { return sim.HasEnded(); }, 10000ms));
        const TClock::time_point gone = TClock::now();
        EXPECT_TRUE(WaitUntil(
            [&] { return form.SimpleStatusPanel->text() == QLatin1String("Connection error"); },
            10000ms));
        figures.SlowestError = std::max(figures.SlowestError, Milliseconds(TClock::now() - gone));
        EXPECT_FALSE(form.Session().Connection().Connected());

        // While it is gone the console only searches once a second.
        const double cpu0 = ProcessCpuSeconds();
        const TClock::time_point wall0 = TClock::now();
        RunEventsFor(1000ms);
        figures.GoneCpu += ProcessCpuSeconds() - cpu0;
        figures.GoneWall += std::chrono::duration<double>(TClock::now() - wall0).count();

        // Counted after the first cycle, which creates what lives on
        // (the USB library's context, the toolkit's helper threads).
        if (cycle == 0) {
            descriptorsBefore = OpenDescriptorCount();
            threadsBefore = ThreadCount();
        }
    }
    if (checkLeaks) {
        EXPECT_TRUE(WaitUntil(
            [&] {
                return OpenDescriptorCount() <= descriptorsBefore && ThreadCount() <= threadsBefore;
            },
            5000ms))
            << "descriptors " << descriptorsBefore << " -> " << OpenDescriptorCount()
            << ", threads " << threadsBefore << " -> " << ThreadCount() << "; "
            << DescribeThreadsAndDescriptors();
    }
    return figures;
}

TEST(LinkDrill, UnpluggedAndPluggedInTwentyTimesOnTheSimpleMenu)
{
    UnplugCycles(20, true);
}

// Run uninstrumented, once, apart from the correctness suite: the times a
// user notices and the idle cost while unplugged.
TEST(LinkDrillTiming, UnplugShownWithinASecondReconnectWithinTwoAndIdleWhileGone)
{
    const TUnplugFigures figures = UnplugCycles(5, false);
    EXPECT_LE(figures.SlowestReconnect, 2000.0);
    EXPECT_LE(figures.SlowestError, 1000.0);
    EXPECT_LT(figures.GoneCpu / figures.GoneWall, 0.02) << "share of a core while unplugged";
    std::printf("[ drill    ] slowest \"Connection error\" %.0f ms, slowest reconnect %.0f ms, "
                "%.2f %% of a core while unplugged\n",
                figures.SlowestError, figures.SlowestReconnect,
                100.0 * figures.GoneCpu / figures.GoneWall);
}

} // namespace
