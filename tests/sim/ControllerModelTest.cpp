// SPDX-License-Identifier: GPL-3.0-or-later
#include "SimTestSupport.h"

#include "protocol/ServiceParameters.h"
#include "sim/ControllerModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

namespace {

using namespace VarnelSimTest;
using namespace VarnelSim;

// Options for tests that look at answers and statuses only.
TModelOptions Quiet()
{
    TModelOptions options;
    options.ScopeRate = 0;
    options.ServiceRate = 0;
    return options;
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& parts)
{
    std::vector<uint8_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

bool IsAnswerId(uint8_t id)
{
    return id >= 53 && id <= 93 && id != 73;
}

TEST(ControllerModelTest, AnswersEveryReadRequestWithItsStoredValue)
{
    // Read request -> value answered by a fresh controller.
    const std::vector<std::pair<uint8_t, uint16_t>> reads = {
        {53, 180},  {55, 20},   {57, 1200},   {59, 235},  {61, 40},  {63, 12},
        {65, 3},    {67, 100},  {69, 0x3FFF}, {71, 3},    {77, 0},   {80, 0},
        {83, 1000}, {85, 3000}, {87, 0},      {89, 1900}, {91, 128}, {93, 0},
    };
    TControllerModel model(Quiet());
    TDriver driver(model);
    driver.Connect();
    std::vector<std::vector<uint8_t>> requests;
    for (const auto& [id, value] : reads)
        requests.push_back(Command(id));
    // The console's connect sequence includes 75, which gets no answer; an
    // id the controller does not know (7) and a write to the measured CFT raw
    // (90) change nothing either.
    requests.push_back(Command(75));
    requests.push_back(Command(7, 1, 2));
    requests.push_back(Command(90, 0x12, 0x34));
    requests.push_back(Command(89));
    driver.Send(Join(requests));

    std::vector<TFrame> answers;
    for (const TFrame& f : driver.Run(50ms))
        if (IsAnswerId(f.Id) || f.Id == 75)
            answers.push_back(f);
    ASSERT_EQ(answers.size(), reads.size() + 1);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE(int(reads[i].first));
        EXPECT_EQ(answers[i].Id, reads[i].first);
        EXPECT_EQ(answers[i].Value(), reads[i].second);
    }
    EXPECT_EQ(answers.back().Id, 89);
    EXPECT_EQ(answers.back().Value(), 1900);
    EXPECT_EQ(model.Stats().IgnoredCommands, 2u);
}

TEST(ControllerModelTest, StoresEachWrite)
{
    struct TCase
    {
        uint8_t Write, A, B;
        uint8_t Read, B2, B3; // the answer's low and high byte
    };
    const std::vector<TCase> cases = {
        {54, 0x01, 0x67, 53, 0x67, 0x01}, // phase 359
        {56, 0x12, 50, 55, 50, 0},        // one byte: A is not part of it
        {58, 0x0F, 0xA0, 57, 0xA0, 0x0F}, // path gain 4000
        {60, 0, 44, 59, 44, 0},           // CFT 30.0 cut to one byte
        {62, 0, 7, 61, 7, 0},
        {64, 0, 8, 63, 8, 0},
        {66, 0, 9, 65, 9, 0},
        {68, 0, 255, 67, 255, 0},
        {70, 0x03, 0x00, 69, 0x00, 0x03}, // expected peaks i and j
        {72, 0, 6, 71, 6, 0},
        {78, 0, 0x38, 77, 0x38, 0}, // set point -200 as its byte
        {81, 0, 2, 80, 2, 0},
        {84, 0xFF, 0xFF, 83, 0xFF, 0xFF},
        {86, 0x12, 0x34, 85, 0x34, 0x12},
        {88, 0x00, 0x05, 87, 0x05, 0x00},
        {92, 0x00, 0xFF, 91, 0xFF, 0x00},
        {94, 0xFF, 0x06, 93, 0x06, 0xFF}, // f offset -250, two's complement
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(int(c.Write));
        TControllerModel model(Quiet());
        TDriver driver(model);
        driver.Connect();
        driver.Send(Join({Command(c.Write, c.A, c.B), Command(c.Read)}));
        const std::vector<TFrame> answers = Only(driver.Run(20ms), c.Read);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].B2, c.B2);
        EXPECT_EQ(answers[0].B3, c.B3);
        EXPECT_EQ(model.ParameterValue(c.Read), c.B2 | c.B3 << 8);
    }
}

TEST(ControllerModelTest, StartsEveryParameterInsideItsField)
{
    // The console shows what a fresh controller answers; each of the
    // parameter table's rows starts inside the range its field takes.
    TControllerModel model(Quiet());
    for (const TServiceParameter& p : ServiceParameters) {
        SCOPED_TRACE(std::string(p.Name));
        const TParameterReading reading =
            DecodeAnswer(p, model.ParameterValue(static_cast<uint8_t>(p.Read)));
        EXPECT_GE(reading.Value, p.Low);
        EXPECT_LE(reading.Value, p.High);
    }
}

TEST(ControllerModelTest, ConnectSendsWorkingTimeThenWaitsForTheUser)
{
    TControllerModel model(Quiet());
    TDriver driver(model);
    driver.Send(Command(54, 0, 99)); // a write before any console keeps its value
    driver.Connect();
    const std::vector<TFrame> first = driver.Run(20ms);
    ASSERT_GE(first.size(), 2u);
    EXPECT_EQ(first[0].Id, 123); // high half first: only the low half updates the display
    EXPECT_EQ(first[1].Id, 124);
    const uint32_t minutes = uint32_t{first[0].Value()} << 16 | first[1].Value();
    EXPECT_GT(minutes, 65535u);
    EXPECT_LT(minutes, 100000u * 60); // under 100000 hours

    const std::vector<TFrame> frames = driver.RunUntil(3, 5s);
    std::vector<TFrame> rest = driver.RunUntil(3, 5s);
    std::vector<std::string> story = Story(frames);
    const auto more = Story(rest);
    story.insert(story.end(), more.begin(), more.end());
    EXPECT_EQ(story, (std::vector<std::string>{"s7", "s14"}));
    EXPECT_LE(rest.back().At - first[0].At, 3s);

    // A new console: output starts afresh, parameters stay, the controller
    // prepares and waits again.
    model.Disconnect();
    EXPECT_EQ(model.PendingOutput(), 0u);
    driver.Connect();
    driver.Send(Command(53));
    const std::vector<TFrame> again = driver.Run(3s);
    EXPECT_EQ(Story(again), (std::vector<std::string>{"s7", "s14"}));
    ASSERT_EQ(Only(again, 53).size(), 1u);
    EXPECT_EQ(Only(again, 53)[0].Value(), 99);
}

// The periodic streams over a minute of connection.
TEST(ControllerModelTest, StreamsLiveDataAtTheirRates)
{
    struct TCase
    {
        std::string Name;
        TModelOptions Options;
        std::map<uint8_t, std::size_t> Counts; // frames per id in 60.495 s
    };
    TModelOptions scopeOnly;
    scopeOnly.ScopeOnly = true;
    scopeOnly.ScopeRate = 1000;
    TModelOptions limited;
    limited.SampleLimit = 150;
    limited.ScopePattern = _sp_ramp;
    const std::vector<TCase> cases = {
        {"defaults",
         {},
         {{1, 12100}, {9, 3025}, {4, 61}, {5, 61}, {8, 61}, {123, 2}, {124, 2}, {3, 2}}},
        {"scope only at 1000/s", scopeOnly, {{1, 60496}}},
        {"sample limit",
         limited,
         {{1, 150}, {9, 3025}, {4, 61}, {5, 61}, {8, 61}, {123, 2}, {124, 2}, {3, 2}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TControllerModel model(c.Options);
        TDriver driver(model);
        driver.Connect();
        std::map<uint8_t, std::size_t> counts;
        std::vector<uint16_t> scope;
        for (const TFrame& f : driver.Run(60495ms)) {
            ++counts[f.Id];
            if (f.Id == 1)
                scope.push_back(f.Value());
        }
        EXPECT_EQ(counts, c.Counts);
        EXPECT_EQ(model.Stats().ScopeSamplesSent, c.Counts.at(1));
        EXPECT_EQ(model.Stats().PeriodicFramesSkipped, 0u);
        if (c.Options.ScopePattern == _sp_ramp) {
            for (std::size_t i = 0; i < scope.size(); ++i)
                ASSERT_EQ(scope[i], i);
        } else {
            // An error signal around zero as the console shows it (17640 - raw).
            const auto [low, high] = std::minmax_element(scope.begin(), scope.end());
            EXPECT_GE(17640 - int(*high), -17280);
            EXPECT_LE(17640 - int(*low), 17280);
        }
    }
}

TEST(ControllerModelTest, ScopeAfterCommandHoldsTheSamplesUntilTheConsolesFirstCommand)
{
    TModelOptions options;
    options.ScopeOnly = true;
    options.ScopeRate = 1000;
    options.ScopePattern = _sp_ramp;
    options.ScopeAfterCommand = true;
    TControllerModel model(options);
    TDriver driver(model);
    auto scopeValues = [&](std::chrono::milliseconds length) {
        std::vector<uint16_t> values;
        for (const TFrame& f : driver.Run(length))
            if (f.Id == 1)
                values.push_back(f.Value());
        return values;
    };
    // Held on both connects until a command; the second connect's stream
    // goes on with the ramp, as a controller's would.
    std::size_t next = 0;
    for (int connect = 1; connect <= 2; ++connect) {
        SCOPED_TRACE(connect);
        driver.Connect();
        EXPECT_TRUE(scopeValues(500ms).empty());
        driver.Send(Command(75));
        std::vector<uint16_t> values = scopeValues(1000ms);
        // From the command on at the full rate, nothing passed over; a
        // later command does not start the stream again.
        driver.Send(Command(71));
        const std::vector<uint16_t> later = scopeValues(1000ms);
        values.insert(values.end(), later.begin(), later.end());
        ASSERT_EQ(values.size(), 2001u);
        for (uint16_t value : values)
            ASSERT_EQ(value, next++ % 65536);
        model.Disconnect();
    }
}

struct TTuningCase
{
    uint16_t Mask;
    uint8_t Target;
    bool Locks;
};

TEST(ControllerModelTest, TuningTargetEndsLockedOrInError)
{
    const std::vector<TTuningCase> cases = {
        {0x3FFF, 6, true},
        {0x3FFF, 10, true},
        {0x3FFF, 1, true},
        {0x3FFF, 14, true},
        {0x0005, 2, true}, // b lies between a and c: reachable although its
                           // bit is clear
        {0x3FFF, 0, false},
        {0x3FFF, 15, false},
        {0x0300, 6, false},
        {0x0300, 11, false},
        {0x0000, 6, false},
    };
    for (const TTuningCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.Mask << " target " << int(c.Target));
        TControllerModel model(Quiet());
        TDriver driver(model);
        driver.Connect();
        driver.Send(Command(70, c.Mask >> 8, c.Mask & 0xFF));
        ASSERT_EQ(Story(driver.RunUntil(3, 5s)).back(), "s7");
        ASSERT_EQ(Story(driver.RunUntil(3, 5s)).back(), "s14");

        driver.Send(Command(34, 0, c.Target));
        const TClock::time_point sent = driver.Now();
        std::vector<TFrame> frames = driver.Run(8s);
        const std::vector<std::string> story = Story(frames);
        ASSERT_FALSE(story.empty());
        EXPECT_EQ(story.front(), "s1");
        const std::string peak = std::to_string(c.Target);
        if (c.Locks) {
            // Blinking statuses, the peak passed, then the peak id right before the lock.
            ASSERT_GE(story.size(), 4u);
            EXPECT_EQ(story[story.size() - 1], "s3");
            EXPECT_EQ(story[story.size() - 2], "p" + peak);
            const auto passed = std::find(story.begin(), story.end(), "e1:" + peak);
            ASSERT_NE(passed, story.end());
            for (auto it = story.begin(); it != passed; ++it)
                EXPECT_TRUE(*it == "s1" || *it == "s2" || *it == "s11" || *it == "s12") << *it;
            EXPECT_LE(Only(frames, 3).back().At - sent, 5s);
            EXPECT_NEAR(model.LaserOffsetMHz(), TControllerModel::PeakOffsetsMHz[c.Target - 1],
                        1e-9);
        } else {
            EXPECT_EQ(story.back(), "s10");
            EXPECT_NE(std::find(story.begin(), story.end(), "e3:" + peak), story.end());
            EXPECT_EQ(std::find(story.begin(), story.end(), "s3"), story.end());
            EXPECT_EQ(Only(frames, 18).size(), 0u);
        }
    }
}

TEST(ControllerModelTest, HalfAutomaticSearchesUntilLockThenTakesTheNearestPeak)
{
    TControllerModel model(Quiet());
    TDriver driver(model);
    driver.Connect();
    driver.Run(3s);
    driver.Send(Join({Command(32, 0, 1), Command(33, 0, 1), Command(35, 0, 1)}));
    const std::vector<std::string> searching = Story(driver.Run(6s));
    ASSERT_FALSE(searching.empty());
    EXPECT_EQ(searching.front(), "s1");
    EXPECT_EQ(std::count(searching.begin(), searching.end(), "s3"), 0);
    // The sweep reports the peaks it passes.
    EXPECT_GE(std::count_if(searching.begin(), searching.end(),
                            [](const std::string& s) { return s.rfind("e1:", 0) == 0; }),
              2);

    const double here = model.LaserOffsetMHz();
    const auto& peaks = TControllerModel::PeakOffsetsMHz;
    const auto nearest = std::min_element(peaks.begin(), peaks.end(), [&](double a, double b) {
        return std::abs(a - here) < std::abs(b - here);
    });
    const std::string peak = std::to_string(nearest - peaks.begin() + 1);
    driver.Send(Command(36));
    const std::vector<std::string> locking = Story(driver.Run(3s));
    EXPECT_EQ(locking, (std::vector<std::string>{"s2", "p" + peak, "s3"}));
    EXPECT_NEAR(model.LaserOffsetMHz(), *nearest, 1e-9);

    // Locked: a further Lock changes nothing.
    driver.Send(Command(36));
    EXPECT_TRUE(Story(driver.Run(2s)).empty());
}

// Corrupted bytes must reach the console as frames whose checksum fails:
// a model with noise is compared byte for byte with the same model without.
TEST(ControllerModelTest, NoiseCorruptsBytesSoChecksumsFail)
{
    TModelOptions clean;
    clean.Seed = 3;
    TModelOptions noisy = clean;
    noisy.Noise = 0.02;
    TControllerModel a(clean), b(noisy);
    TDriver da(a), db(b);
    da.Connect();
    db.Connect();
    da.Run(5s);
    db.Run(5s);
    const std::vector<uint8_t>& x = da.Raw();
    const std::vector<uint8_t>& y = db.Raw();
    ASSERT_EQ(x.size(), y.size());
    ASSERT_GT(x.size(), 5000u);

    std::size_t changed = 0, failing = 0;
    for (std::size_t i = 0; i + 5 <= x.size(); i += 5) {
        ASSERT_TRUE(ChecksumOK(&x[i]));
        int differ = 0;
        for (std::size_t k = 0; k < 5; ++k)
            differ += x[i + k] != y[i + k];
        changed += static_cast<std::size_t>(differ);
        if (differ == 0) {
            EXPECT_TRUE(ChecksumOK(&y[i]));
        } else if (differ == 1) { // one changed byte always breaks the sum
            EXPECT_FALSE(ChecksumOK(&y[i]));
        }
        if (y[i] == 0xAA && !ChecksumOK(&y[i]))
            ++failing; // what the console counts as a checksum error
    }
    const double share = double(changed) / double(x.size());
    EXPECT_GT(share, 0.01);
    EXPECT_LT(share, 0.03);
    EXPECT_GT(failing, 20u);
}

TEST(ControllerModelTest, FullLineSkipsPeriodicFramesButNeverAnswers)
{
    TModelOptions options;
    options.MaxBacklog = 40;
    TControllerModel model(options);
    model.Connect(TClock::time_point{1h});
    model.AdvanceTo(TClock::time_point{1h} + 1s); // nobody takes the output
    EXPECT_GT(model.Stats().PeriodicFramesSkipped, 100u);

    std::vector<uint8_t> reads;
    for (uint8_t id = 53; id <= 67; id += 2)
        for (uint8_t b : Command(id))
            reads.push_back(b);
    model.Receive(reads.data(), reads.size());
    const std::vector<uint8_t> out = model.TakeOutput();
    std::size_t answers = 0;
    for (std::size_t i = 0; i + 5 <= out.size(); i += 5)
        answers += out[i + 1] >= 53 && out[i + 1] <= 67;
    EXPECT_EQ(answers, 8u);
}

// A clock that jumps a day (a made-up start, a suspended process) must not
// make the model replay the day's samples.
TEST(ControllerModelTest, LongJumpDoesNotReplayTheGap)
{
    TModelOptions options;
    options.ScopeRate = 100000;
    options.MaxBacklog = 16 << 20;
    TControllerModel model(options);
    const TClock::time_point start{1h};
    model.Connect(start);
    model.Receive(Command(35, 0, 1).data(), 5); // sweeping, so peaks are passed all day
    model.AdvanceTo(start + 24h);
    EXPECT_GT(model.Stats().PeriodicFramesSkipped, 8'000'000'000u);
    // Only the last second goes out, then streaming goes on at the full rate.
    const uint64_t queued = model.Stats().ScopeSamplesQueued;
    EXPECT_GE(queued, 100000u);
    EXPECT_LE(queued, 100001u);
    model.TakeOutput();
    model.AdvanceTo(start + 24h + 10ms);
    EXPECT_EQ(model.Stats().ScopeSamplesQueued - queued, 1000u);
}

} // namespace
