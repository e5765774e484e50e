// SPDX-License-Identifier: GPL-3.0-or-later
// The controller's state, fed as the reader feeds it: status codes and their
// texts, the lock report, the working time's two halves, the checksum
// errors, the facts the journal and the status bus read, the new
// connection's reset, and the messages passed on to the service panel and
// the device session unchanged.
#include "console/model/ControllerState.h"
#include "console/model/LockHistory.h"
#include "console/model/PeakFacts.h"
#include "console/model/PeakTable.h"
#include "console/model/ServiceValues.h"
#include "console/model/TraceBuffer.h"

#include <QLocale>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class ControllerState : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale::c());
        // The facts hold what the controller says only while connected.
        State.LockHistory().Connected("controller");
    }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }

    TControllerState State;
};

TEST_F(ControllerState, StatusCodesAndTheirTexts)
{
    struct TCase
    {
        uint32_t code;
        const char* text;
    };
    const TCase cases[] = {
        {0, "not ready"},         {1, "tuning - start"},
        {2, "tuning - lock try"}, {3, "tuning - locked"},
        {4, "unlocked"},          {5, "tuning - stop"},
        {6, "learning"},          {7, "tuning - prepare"},
        {8, "learning"},          {9, ""},
        {10, "tuning - error"},   {11, "tuning - wait"},
        {12, "tuning - phase"},   {13, "tuning - wait"},
        {14, "wait for user"},    {15, "status 15"},
        {255, "status 255"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.code);
        QSignalSpy changed(&State, &TControllerState::StatusChanged);
        State.HandleDeviceStatus(c.code, 0);
        EXPECT_EQ(State.StatusCode(), c.code);
        EXPECT_EQ(State.StatusText(), c.text);
        // No peak id yet: a lock has no report, its text is the status.
        EXPECT_EQ(State.ReportText(), c.text);
        ASSERT_EQ(changed.count(), 1);
        EXPECT_EQ(changed[0][0].toUInt(), c.code);
        EXPECT_EQ(State.LockHistory().Facts().StatusCode, c.code);
        EXPECT_EQ(State.LockHistory().Facts().StatusText, c.text);
    }
}

TEST_F(ControllerState, LockReportNamesThePeakIdLastReported)
{
    struct TCase
    {
        uint32_t peakId;
        std::string report;
        const char* lockedPeak;
    };
    const TCase cases[] = {
        {6, "locked at peak f -> 473612353.597", "f"},
        {10, "locked at peak j -> 473612193.136", "j"},
        {1, "locked at peak a", "a"},
        {14, "locked at peak n", "n"},
        {0, "locked at unknown peak 0", ""},
        {15, "locked at unknown peak 15", ""},
        {255, "locked at unknown peak 255", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.peakId);
        State.HandleDeviceStatus(4, 0); // out of the last lock
        State.SearchLocked = false;
        State.HandlePeakId(c.peakId);
        EXPECT_EQ(State.PeakId(), static_cast<int32_t>(c.peakId));
        State.HandleDeviceStatus(3, 0);
        EXPECT_EQ(State.StatusText(), "tuning - locked");
        EXPECT_EQ(State.ReportText().toStdString(), c.report);
        EXPECT_TRUE(State.SearchLocked);
        EXPECT_EQ(State.LockHistory().Facts().LockedPeak, c.lockedPeak);
        // Only a status that is a lock makes a report.
        State.HandleDeviceStatus(1, 0);
        EXPECT_EQ(State.ReportText(), "tuning - start");
    }
}

TEST_F(ControllerState, LockReportFollowsTheOffset)
{
    State.HandlePeakId(PeakIdF);
    State.HandleFOffsetValue(0xFFFF); // -1 kHz, a signed 16-bit value
    EXPECT_EQ(State.FOffset(), -1);
    State.HandleDeviceStatus(3, 0);
    EXPECT_EQ(State.ReportText(), "locked at peak f -> 473612353.596");
    EXPECT_DOUBLE_EQ(State.LockHistory().Facts().LockedFrequency, PeakBaseValue - 0.001);
}

TEST_F(ControllerState, WorkingTimeFromItsTwoHalves)
{
    struct TCase
    {
        uint32_t high;
        uint32_t low;
        uint32_t minutes;
        const char* text;
    };
    const TCase cases[] = {
        {0, 0, 0, "00:00"},
        {0, 59, 59, "00:59"},
        {0, 61, 61, "01:01"},
        {1, 0, 65536, "1092:16"},
        {0xFFFF, 0xFFFF, 0xFFFFFFFFu, "71582788:15"}, // the high half uses all 16 bits
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.minutes);
        QSignalSpy changed(&State, &TControllerState::WorkingTimeChanged);
        State.HandleLifetimeHigh(c.high);
        EXPECT_EQ(changed.count(), 0); // the high half alone shows nothing
        EXPECT_EQ(State.LifetimePart1, c.high * 65536u);
        State.HandleLifetimeLow(c.low);
        ASSERT_EQ(changed.count(), 1);
        EXPECT_EQ(State.WorkingTime(), c.minutes);
        EXPECT_EQ(TControllerState::WorkingTimeText(State.WorkingTime()), c.text);
        EXPECT_EQ(State.LockHistory().Facts().WorkingTime, c.minutes);
    }
}

TEST_F(ControllerState, ReadingsReachTheFactsAndTheirSignals)
{
    QSignalSpy tuning(&State, &TControllerState::TuningMirrorChanged);
    QSignalSpy stabilization(&State, &TControllerState::StabilizationMirrorChanged);
    QSignalSpy cft(&State, &TControllerState::CFTChanged);
    QSignalSpy crc(&State, &TControllerState::CRCErrorsChanged);
    State.HandleTuningMirrorPosition(120);
    State.HandleStabilizationMirrorPosition(7);
    State.HandleCFTTemperature(253);
    State.HandleCRCError();
    State.HandleCRCError();
    const TConsoleFacts& facts = State.LockHistory().Facts();
    EXPECT_EQ(State.TuningMirror(), 120u);
    EXPECT_EQ(facts.TuningMirror, 120u);
    EXPECT_EQ(State.StabilizationMirror(), 7u);
    EXPECT_EQ(facts.StabilizationMirror, 7u);
    EXPECT_EQ(State.CFT(), 253u);
    EXPECT_EQ(TControllerState::CFTText(State.CFT()), "25.3");
    EXPECT_DOUBLE_EQ(facts.CFT, 25.3);
    EXPECT_EQ(State.CRCErrorCounter, 2u);
    EXPECT_EQ(facts.CRCErrors, 2u);
    EXPECT_EQ(tuning.count(), 1);
    EXPECT_EQ(stabilization.count(), 1);
    EXPECT_EQ(cft.count(), 1);
    ASSERT_EQ(crc.count(), 2);
    EXPECT_EQ(crc[1][0].toUInt(), 2u);
}

TEST_F(ControllerState, ExpectedPeaksScaleAndHarmonic)
{
    QSignalSpy expected(&State, &TControllerState::ExpectedPeaksChanged);
    // The view reads the range when the state says it changed.
    int32_t firstSeen = -2;
    QObject::connect(&State, &TControllerState::ExpectedPeaksChanged, &State,
                     [&] { firstSeen = State.Peaks().FirstAvaiablePeakIndex(); });
    State.HandleExpectedPeaksValue(0x03F8);
    EXPECT_EQ(State.ExpectedPeaksMask(), 0x03F8u);
    EXPECT_EQ(firstSeen, 3);
    EXPECT_EQ(expected.count(), 1);

    QSignalSpy scale(&State, &TControllerState::ScopeScaleChanged);
    QSignalSpy harmonic(&State, &TControllerState::HarmonicChanged);
    State.HandleScopeScaleValue(6);
    State.HandleHarmonicValue(2);
    EXPECT_EQ(State.ScopeScale(), 6u);
    EXPECT_EQ(State.Harmonic(), 2u);
    EXPECT_EQ(scale.count(), 1);
    EXPECT_EQ(harmonic.count(), 1);
}

// The checksum errors count from each connect; the peak id and the working
// time's high half outlive it (a controller locked before the connect names
// its peak no more), unless another controller is connected.
TEST_F(ControllerState, NewConnectionStartsTheCountsAgainButKeepsPeakAndWorkingTime)
{
    State.LockHistory().Connected("KWTP Bench", "A1");
    State.HandleCRCError();
    State.HandleLifetimeHigh(3);
    State.HandlePeakId(6);
    State.LockHistory().LinkLost();
    State.ResetConnectionFacts();
    State.LockHistory().Connected("KWTP Bench", "A1");
    EXPECT_EQ(State.CRCErrorCounter, 0u);
    EXPECT_EQ(State.LifetimePart1, 3u * 65536u);
    EXPECT_EQ(State.PeakId(), 6);
    State.HandleDeviceStatus(3, 0);
    EXPECT_TRUE(State.ReportText().startsWith("locked at peak f -> "))
        << State.ReportText().toStdString();
    State.HandleLifetimeLow(5);
    EXPECT_EQ(State.WorkingTime(), 3u * 65536u + 5u);
    State.HandleCRCError();
    EXPECT_EQ(State.CRCErrorCounter, 1u);
    // Its last status is shown again after a reconnect.
    QSignalSpy repeated(&State, &TControllerState::StatusRepeated);
    State.RepeatStatus();
    ASSERT_EQ(repeated.count(), 1);
    EXPECT_EQ(repeated[0][0].toUInt(), 3u);

    // Another controller's lock is not reported on this one's peak, nor its
    // status shown.
    State.LockHistory().Disconnected();
    State.ResetConnectionFacts();
    State.LockHistory().Connected("KWTP Other", "B2");
    EXPECT_EQ(State.PeakId(), -1);
    State.RepeatStatus();
    EXPECT_EQ(repeated.count(), 1);
    State.HandleDeviceStatus(3, 0);
    EXPECT_EQ(State.ReportText(), "tuning - locked");
}

TEST_F(ControllerState, DisconnectLeavesIdleFacts)
{
    State.LockHistory().Connected("controller", "KW1");
    State.HandleDeviceStatus(14, 0);
    State.HandleCFTTemperature(300);
    State.LockHistory().Disconnected();
    EXPECT_EQ(State.LockHistory().Facts(), TConsoleFacts());
}

TEST_F(ControllerState, ParametersReadBackAreKeptPerRowForTheConnection)
{
    struct TCase
    {
        void (TControllerState::*handle)(uint32_t);
        const char* row;
        uint32_t answer;
        double value;
        bool flag;
    };
    const TCase cases[] = {
        {&TControllerState::HandlePhaseValue, "Phase", 360, 360, false},
        {&TControllerState::HandleDelayValue, "Delay", 50, 50, false},
        {&TControllerState::HandlePathGainValue, "PathGain", 2150, 150, true},
        {&TControllerState::HandleCFTValue, "CFT", 123, 12.3, false},
        {&TControllerState::HandlePValue, "P", 1, 1, false},
        {&TControllerState::HandleIValue, "I", 2, 2, false},
        {&TControllerState::HandleDValue, "D", 3, 3, false},
        {&TControllerState::HandlePIDGainValue, "PIDGain", 300, 300, false},
        // The set point's low byte is signed; its high byte is not used.
        {&TControllerState::HandleSetPointValue, "SetPoint", 200 + 255 * 256, -56, false},
        {&TControllerState::HandleCFTTemp10Value, "CFTTemp10", 65535, 65535, false},
        {&TControllerState::HandleCFTTemp40Value, "CFTTemp40", 4000, 4000, false},
        {&TControllerState::HandleCFTOffsetValue, "CFTOffset", 17, 17, false},
        {&TControllerState::HandleCFTRawValue, "CFTRaw", 1234, 1234, false},
        {&TControllerState::HandleModulationValue, "Modulation", 128, 128, false},
    };
    std::vector<std::string> signalled;
    QObject::connect(&State.ServiceValues(), &TServiceValues::ValueRead,
                     [&](const TServiceParameter* parameter, TParameterReading, uint32_t) {
                         signalled.emplace_back(parameter->Name);
                     });
    std::vector<std::string> expected;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.row);
        const TServiceParameter& row = *ServiceParameterByName(c.row);
        EXPECT_FALSE(State.ServiceValues().Reading(row));
        (State.*c.handle)(c.answer);
        expected.emplace_back(c.row);
        const std::optional<TParameterReading> reading = State.ServiceValues().Reading(row);
        ASSERT_TRUE(reading);
        EXPECT_DOUBLE_EQ(reading->Value, c.value);
        EXPECT_EQ(reading->Flag, c.flag);
        EXPECT_EQ(State.ServiceValues().Answer(row), c.answer);
    }
    EXPECT_EQ(signalled, expected);

    // A new connection has read nothing yet.
    State.ResetConnectionFacts();
    for (const TCase& c : cases)
        EXPECT_FALSE(State.ServiceValues().Reading(*ServiceParameterByName(c.row))) << c.row;
}

TEST_F(ControllerState, ServiceSamplesAreSignedAndTheLinkLossIsSignalled)
{
    std::vector<double> samples;
    int losses = 0;
    QObject::connect(&State, &TControllerState::ServiceSample,
                     [&](double value) { samples.push_back(value); });
    QObject::connect(&State, &TControllerState::LinkLost, [&] { ++losses; });
    for (const uint32_t raw : {0u, 1u, 0x7FFFu, 0x8000u, 0xFFFFu})
        State.HandleServiceSample(raw);
    EXPECT_EQ(samples, (std::vector<double>{0, 1, 32767, -32768, -1}));
    EXPECT_EQ(losses, 0);
    State.HandleLinkLost();
    EXPECT_EQ(losses, 1);
}

TEST_F(ControllerState, ScopeSamplesReachTheTraceAndTheStreamInOrder)
{
    std::vector<double> streamed;
    QObject::connect(&State, &TControllerState::ScopeSample, &State, [&](double value) {
        // The trace has the sample by the time the stream gives it.
        EXPECT_EQ(State.ScopeTrace().Values().last(), value);
        streamed.push_back(value);
    });
    const uint32_t raw[] = {17640, 0, 35280, 17641};
    for (uint32_t value : raw)
        State.HandleScopeSample(value);
    EXPECT_EQ(streamed, (std::vector<double>{0, 17640, -17640, -1}));
    EXPECT_EQ(State.ScopeTrace().Values(), (QList<double>{0, 17640, -17640, -1}));
}

} // namespace
