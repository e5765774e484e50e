// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated laser losing its lock: knocks (on demand and at random) and
// the stabilisation mirror's thermal drift, all on a driven clock.
#include "SimTestSupport.h"

#include "sim/ControllerModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

using namespace VarnelSimTest;
using namespace VarnelSim;

TModelOptions Quiet(double driftPercentPerMinute = 0.0, double knockEverySeconds = 0.0)
{
    TModelOptions options;
    options.ScopeRate = 0;
    options.ServiceRate = 0;
    options.DriftPercentPerMinute = driftPercentPerMinute;
    options.KnockEverySeconds = knockEverySeconds;
    return options;
}

double PeakMHz(uint8_t peakId)
{
    return TControllerModel::PeakOffsetsMHz[peakId - 1U];
}

// Connects and waits for the controller to be ready for the user.
void Ready(TDriver& driver)
{
    driver.Connect();
    driver.Run(2500ms);
}

// Asks for a lock on the peak and runs until the controller reports it:
// the driver's clock is then at the lock.
void LockOn(TDriver& driver, uint8_t peakId)
{
    driver.Send(Command(34, 0, peakId));
    std::vector<std::string> story;
    const TClock::time_point end = driver.Now() + 5s;
    while ((story.empty() || story.back() != "s3") && driver.Now() < end)
        for (const std::string& s : Story(driver.Run(10ms)))
            story.push_back(s);
    ASSERT_GE(story.size(), 2u);
    ASSERT_EQ(story[story.size() - 2], "p" + std::to_string(peakId));
    ASSERT_EQ(story.back(), "s3");
}

TEST(LockLossTest, KnockUnlocksOnlyALockedLaser)
{
    struct TCase
    {
        const char* Name;
        std::function<void(TDriver&)> Before;
        bool Locked;
    };
    const std::vector<TCase> cases = {
        {"locked", [](TDriver& d) { LockOn(d, 6); }, true},
        {"preparing", [](TDriver&) {}, false},
        {"waiting for the user", [](TDriver& d) { d.Run(2500ms); }, false},
        {"moving to a peak",
         [](TDriver& d) {
             d.Run(2500ms);
             d.Send(Command(34, 0, 2));
             d.Run(500ms);
         },
         false},
        {"searching",
         [](TDriver& d) {
             d.Run(2500ms);
             d.Send(Command(35));
             d.Run(2s);
         },
         false},
        {"stopped with an error",
         [](TDriver& d) {
             d.Run(2500ms);
             d.Send(Command(34, 0, 15));
             d.Run(2s);
         },
         false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        // The twin gets no knock: where nothing is locked, the knock must
        // change nothing at all.
        TModelOptions options;
        options.DriftPercentPerMinute = 10.0;
        TControllerModel model(options), twin(options);
        TDriver driver(model), twinDriver(twin);
        driver.Connect();
        twinDriver.Connect();
        c.Before(driver);
        c.Before(twinDriver);
        const double laser = model.LaserOffsetMHz();
        const TClock::time_point knocked = driver.Now();
        const TKnockOutcome outcome = model.Knock();
        // How far the laser strays in the second after the knock.
        std::vector<TFrame> bumped;
        double strayed = 0.0;
        for (int step = 0; step < 100; ++step) {
            for (const TFrame& f : driver.Run(10ms))
                bumped.push_back(f);
            strayed = std::max(strayed, std::abs(model.LaserOffsetMHz() - laser));
        }
        const std::vector<TFrame> after = driver.Run(3s);
        twinDriver.Run(4s);
        if (!c.Locked) {
            EXPECT_EQ(outcome, _ko_not_locked);
            EXPECT_EQ(driver.Raw(), twinDriver.Raw());
            EXPECT_EQ(model.Stats().Knocks, 0u);
            continue;
        }
        ASSERT_NE(outcome, _ko_not_locked);
        const std::vector<TFrame> statuses = Only(bumped, 3);
        ASSERT_FALSE(statuses.empty());
        EXPECT_EQ(statuses.front().B2, 4);
        EXPECT_EQ(statuses.front().At, knocked + 10ms); // the first step after the knock
        // Off the peak, far enough to see on the scope.
        EXPECT_GE(strayed, 2.0);
        EXPECT_EQ(model.Stats().Knocks, 1u);
        if (outcome == _ko_lost) {
            EXPECT_EQ(model.Knock(), _ko_not_locked);
        }
        EXPECT_FALSE(after.empty());
    }
}

// Over many knocks on a lock: about a third ridden out within a second on the
// same peak, the rest unlocked until command 34 locks the same peak again.
TEST(LockLossTest, AboutAThirdOfKnocksAreRiddenOutTheRestWaitForARelock)
{
    TControllerModel model(Quiet());
    TDriver driver(model);
    Ready(driver);
    const std::vector<uint8_t> peaks = {6, 2, 11, 9};
    constexpr int Knocks = 240;
    int riddenOut = 0;
    for (int k = 0; k < Knocks; ++k) {
        const uint8_t peak = peaks[static_cast<std::size_t>(k) % peaks.size()];
        SCOPED_TRACE(testing::Message() << "knock " << k << " on peak " << int(peak));
        if (k == 0 || model.LaserOffsetMHz() != PeakMHz(peak))
            LockOn(driver, peak);
        const TClock::time_point knocked = driver.Now();
        const TKnockOutcome outcome = model.Knock();
        const std::vector<TFrame> frames = driver.Run(3s);
        const std::vector<std::string> story = Story(frames);
        if (outcome == _ko_ridden_out) {
            ++riddenOut;
            ASSERT_EQ(story,
                      (std::vector<std::string>{"s4", "s2", "p" + std::to_string(peak), "s3"}));
            EXPECT_LT(Only(frames, 3).back().At - knocked, 1s);
            EXPECT_EQ(model.LaserOffsetMHz(), PeakMHz(peak));
            // Locked again: the next knock finds the lock.
            continue;
        }
        ASSERT_EQ(outcome, _ko_lost);
        ASSERT_EQ(story, (std::vector<std::string>{"s4"}));
        EXPECT_GE(std::abs(model.LaserOffsetMHz() - PeakMHz(peak)), 5.0);
        // Nothing more comes by itself; command 34 finds the same peak.
        ASSERT_TRUE(Story(driver.Run(5s)).empty());
        LockOn(driver, peak);
        EXPECT_EQ(model.LaserOffsetMHz(), PeakMHz(peak));
    }
    EXPECT_EQ(model.Stats().Knocks, static_cast<uint64_t>(Knocks));
    EXPECT_EQ(model.Stats().KnocksRiddenOut, static_cast<uint64_t>(riddenOut));
    EXPECT_GT(riddenOut, Knocks / 4);
    EXPECT_LT(riddenOut, Knocks * 5 / 12);
}

// Random knocks come at the mean interval asked for, from the model's own
// generator: the same seed gives the same bytes on the same driven clock.
TEST(LockLossTest, RandomKnocksComeAtTheMeanIntervalAndRepeatWithTheSeed)
{
    struct TCase
    {
        double Mean;
        TClock::duration Length;
    };
    for (const TCase c : {TCase{20.0, 2h}, TCase{300.0, 24h}}) {
        SCOPED_TRACE(c.Mean);
        TModelOptions options = Quiet(0.0, c.Mean);
        options.MaxBacklog = 1 << 20;
        TControllerModel model(options), twin(options);
        TDriver driver(model), twinDriver(twin);
        Ready(driver);
        Ready(twinDriver);
        driver.Send(Command(34, 0, 6));
        twinDriver.Send(Command(34, 0, 6));
        // Relock whenever a knock leaves the laser unlocked, so that nearly
        // every knock finds a lock.
        const TClock::time_point end = driver.Now() + c.Length;
        while (driver.Now() < end) {
            for (TDriver* d : {&driver, &twinDriver}) {
                for (const TFrame& f : d->Run(1s, 500ms))
                    if (f.Id == 3 && (f.B2 == 14 || f.B2 == 4))
                        d->Send(Command(34, 0, 6));
            }
        }
        const double expected = std::chrono::duration<double>(c.Length).count() / c.Mean;
        const double knocks = static_cast<double>(model.Stats().Knocks);
        EXPECT_GT(knocks, expected * 0.8);
        EXPECT_LT(knocks, expected * 1.15);
        EXPECT_EQ(driver.Raw(), twinDriver.Raw());
    }
}

// The stabilisation mirror walks from the centre to a rail at the rate
// asked for, and the lock is lost there; a relock recentres it.
TEST(LockLossTest, DriftWalksTheMirrorToARailWhereTheLockIsLost)
{
    struct TCase
    {
        double PercentPerMinute;
        TClock::duration ToRail; // from the lock to status 4
    };
    const std::vector<TCase> cases = {{100.0, 30s}, {25.0, 2min}, {10.0, 5min}, {0.0, 0s}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.PercentPerMinute);
        TControllerModel model(Quiet(c.PercentPerMinute));
        TDriver driver(model);
        Ready(driver);
        for (int lock = 0; lock < 2; ++lock) {
            SCOPED_TRACE(lock);
            LockOn(driver, 4);
            const TClock::time_point locked = driver.Now();
            const std::vector<TFrame> frames = driver.Run(c.ToRail + 30s);
            const std::vector<TFrame> statuses = Only(frames, 3);
            const std::vector<TFrame> mirror = Only(frames, 5);
            ASSERT_FALSE(mirror.empty());
            EXPECT_EQ(model.Stats().RailLosses, c.PercentPerMinute > 0 ? lock + 1u : 0u);
            if (c.PercentPerMinute == 0) {
                EXPECT_TRUE(statuses.empty());
                for (const TFrame& f : mirror)
                    EXPECT_TRUE(f.B2 >= 47 && f.B2 <= 53) << int(f.B2);
                break;
            }
            ASSERT_EQ(statuses.size(), 1u);
            EXPECT_EQ(statuses[0].B2, 4);
            // Lost when the walk from the centre reaches the rail, to the
            // model's 10 ms steps, wherever the lock began within one.
            EXPECT_GE(statuses[0].At - locked, c.ToRail - 10ms);
            EXPECT_LE(statuses[0].At - locked, c.ToRail + 20ms);
            // Readings in the middle of the walk, then the rail itself.
            const uint16_t rail = mirror.back().Value();
            ASSERT_TRUE(rail == 0 || rail == 100) << rail;
            const TClock::time_point half = locked + c.ToRail / 2;
            for (const TFrame& f : mirror)
                if (f.At > half - 1s && f.At < half + 1s) {
                    EXPECT_NEAR(f.Value(), (50.0 + rail) / 2, 5.0);
                }
            for (const TFrame& f : mirror)
                if (f.At > statuses[0].At) {
                    EXPECT_EQ(f.Value(), rail);
                }
            EXPECT_GE(std::abs(model.LaserOffsetMHz() - PeakMHz(4)), 5.0);
        }
        if (c.PercentPerMinute > 0) {
            // The next relock starts from the centre again.
            LockOn(driver, 4);
            for (const TFrame& f : Only(driver.Run(3s), 5))
                EXPECT_TRUE(f.B2 >= 47 && f.B2 <= 53) << int(f.B2);
        }
    }
}

// A bump the loop rides out leaves the mirror where it was: the walk goes on
// from there, so the rail comes as soon as the rest of the walk takes.
TEST(LockLossTest, RiddenOutKnockDoesNotRecentreTheMirror)
{
    TControllerModel model(Quiet(100.0));
    TDriver driver(model);
    Ready(driver);
    // Locks that walk 15 s (15 %) from the centre, knocked until one knock
    // is ridden out.
    for (int attempt = 0;; ++attempt) {
        ASSERT_LT(attempt, 30);
        LockOn(driver, 6);
        driver.Run(15s);
        if (model.Knock() == _ko_ridden_out)
            break;
        driver.Run(3s);
    }
    const double mirror = model.StabilizationMirror();
    EXPECT_NEAR(std::abs(mirror - 50.0), 25.0, 0.5);
    const std::vector<TFrame> bump = driver.Run(1s);
    ASSERT_EQ(Story(bump), (std::vector<std::string>{"s4", "s2", "p6", "s3"}));
    EXPECT_NEAR(model.StabilizationMirror(), mirror, 100.0 / 60); // walked a second at most
    const std::vector<TFrame> rest = driver.RunUntil(3, 40s);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back().B2, 4);
    const double remaining = mirror > 50 ? 100 - mirror : mirror;
    EXPECT_NEAR(std::chrono::duration<double>(rest.back().At - bump.back().At).count(),
                remaining / 100.0 * 60.0, 0.05);
}

} // namespace

// A console that goes and comes back: with KeepState the controller runs on
// as a real one does across a replug (a lock, or a lock under way, is there
// when the console is back, and no status is sent for it); without, every
// connect starts over with "prepare" and "wait for user".
TEST(LockLossTest, KeepStateRunsTheControllerOnAcrossAReconnect)
{
    struct TCase
    {
        const char* Name;
        bool KeepState;
        bool AwayWhileLocking; // gone right after the tuning target, not once locked
        std::vector<std::string> StoryAfter;
        bool LockedAfter;
    };
    const TCase cases[] = {
        {"kept, locked when it went", true, false, {}, true},
        {"kept, locking when it went", true, true, {}, true},
        {"started over", false, false, {"s7", "s14"}, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TModelOptions options = Quiet();
        options.KeepState = c.KeepState;
        TControllerModel model(options);
        TDriver driver(model);
        Ready(driver);
        if (c.AwayWhileLocking) {
            driver.Send(Command(34, 0, 6));
            driver.Run(500ms);
        } else {
            LockOn(driver, 6);
        }
        model.Disconnect();
        driver.Run(10s);
        driver.Connect();
        EXPECT_EQ(Story(driver.Run(5s)), c.StoryAfter);
        if (c.LockedAfter) {
            EXPECT_NEAR(model.LaserOffsetMHz(), PeakMHz(6), 0.5);
        }
        // A knock finds the lock there, or nothing to knock.
        const TKnockOutcome knock = model.Knock();
        EXPECT_EQ(knock != _ko_not_locked, c.LockedAfter);
        if (knock == _ko_lost) {
            EXPECT_EQ(Story(driver.Run(3s)), std::vector<std::string>{"s4"});
            LockOn(driver, 6);
        }
    }
}
