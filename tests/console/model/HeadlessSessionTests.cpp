// SPDX-License-Identifier: GPL-3.0-or-later
// The console without a window: a program that links no widget library
// builds the session, connects it to varnel-sim over a simulated bridge,
// locks with "keep locked" on, loses the lock to a knock and relocks, and
// reads it all from the facts store and the metrics page.
#include "PrivateRuntimeDir.h"
#include "RecordingJournal.h"
#include "SimProcess.h"
#include "WaitUntil.h"

#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/LockSupervision.h"
#include "console/model/MetricsText.h"
#include "link/D2XX_Unit.h"
#include "protocol/MainThreadCallList.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace {

constexpr int PeakF = 6;

class HeadlessSession : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Runtime.IsValid());
        D2XX_RestoreDefaultDrivers();
        ASSERT_TRUE(Sim.Start({"--keep-state", "--scope-rate", "20"},
                              (Runtime.Path() + "/sim.log").toStdString()));
        TConsoleSessionSettings settings;
        settings.Journal = Journal;
        Session = std::make_unique<TConsoleSession>(settings);
    }

    void TearDown() override
    {
        Session.reset();
        TMainThreadCallList::Instance().RunPending();
        Sim.Stop();
    }

    const TConsoleFacts& Facts() const { return Session->Facts(); }

    bool LockedOnF() const
    {
        return Facts().Connected && Facts().Locked && Facts().LockedPeak == "f" &&
               Facts().Supervision.LockState == "locked";
    }

    QByteArray MetricsPage() const
    {
        TMetricsSnapshot snapshot;
        snapshot.Facts = Facts();
        Session->AddCounters(snapshot);
        return FormatMetrics(snapshot);
    }

    TPrivateRuntimeDir Runtime;
    VarnelSim::TSimProcess Sim{VARNEL_SIM_BINARY, "KWTP Headless"};
    std::shared_ptr<TRecordingSink> Journal = std::make_shared<TRecordingSink>();
    std::unique_ptr<TConsoleSession> Session;
};

} // namespace

TEST_F(HeadlessSession, LocksLosesAndRelocksWithKeepLockedAndTellsItThroughItsFacts)
{
    using namespace std::chrono_literals;
    Session->Search();
    ASSERT_TRUE(WaitUntil([&] { return !Session->Device().Searching(); }, 10s));
    ASSERT_TRUE(Session->Device().Devices().contains(QStringLiteral("KWTP Headless")));
    ASSERT_TRUE(Session->Connect(QStringLiteral("KWTP Headless")));
    ASSERT_NE(Session->FrameReader(), nullptr);
    EXPECT_TRUE(Session->Connection().Connected());
    EXPECT_EQ(Facts().Device, "KWTP Headless");

    Session->SetKeepLocked(true);
    // The controller is ready ("wait for user") after a moment; the
    // operator's peak button for f.
    ASSERT_TRUE(WaitUntil([&] { return Facts().StatusCode == 14; }, 30s));
    Session->SelectPeak(PeakF);
    ASSERT_TRUE(WaitUntil([&] { return LockedOnF(); }, 60s));
    EXPECT_EQ(Journal->EventField("start-command", "VARNEL_PEAK"), "f")
        << "the peak button is recorded as the operator's";

    // Knocks until one is not ridden out: the loss is relocked on f, by the
    // supervisor, through the session.
    for (int knock = 0; knock < 20 && Facts().Supervision.Relocks == 0; ++knock) {
        ASSERT_TRUE(WaitUntil([&] { return LockedOnF(); }, 30s));
        ASSERT_TRUE(Sim.Knock());
        (void)WaitUntil([&] { return Facts().Supervision.Relocks > 0; }, 8s);
    }
    ASSERT_EQ(Facts().Supervision.Relocks, 1u);
    EXPECT_EQ(Facts().Supervision.LockLosses, 1u);
    EXPECT_EQ(Facts().Supervision.OperatorLocks, 1u);
    ASSERT_TRUE(WaitUntil([&] { return LockedOnF(); }, 30s));
    EXPECT_EQ(Journal->EventField("relock-attempt", "VARNEL_PEAK"), "f");
    EXPECT_EQ(Journal->EventField("relock-attempt", "VARNEL_DEVICE"), "KWTP Headless");
    // The relock went out as the supervisor's, not as an operator's command.
    EXPECT_EQ(std::count_if(Journal->Records.begin(), Journal->Records.end(),
                            [](const TJournalRecord& record) {
                                return JournalField(record, "VARNEL_EVENT") == "start-command";
                            }),
              1);

    // The same facts on the metrics page, with the session's own counters.
    ASSERT_TRUE(WaitUntil([&] { return Session->ScopeSamples() > 0; }, 10s));
    const QByteArray page = MetricsPage();
    for (const char* line :
         {"varnel_connected 1", "varnel_locked 1", "varnel_keep_locked 1", "varnel_relocks_total 1",
          "varnel_lock_losses_total 1", "varnel_operator_locks_total 1",
          "varnel_lock_state{state=\"locked\"} 1", "varnel_data_log_write_failures_total 0"})
        EXPECT_TRUE(page.contains(QByteArray(line) + '\n')) << line << "\n" << page.constData();
    EXPECT_FALSE(page.contains("varnel_scope_samples_total 0\n"));
}

// The session tells the supervision what the operator did by the action:
// the peak chosen is the peak button's or the automatic Start's target; a
// half-automatic Start chooses none (the lock that follows will), and a Set
// leaves the choice alone.
TEST(SessionActions, ThePeakToKeepIsTheOneTheOperatorsActionChose)
{
    TConsoleSession session;
    const TLockSupervisor& supervisor = session.Supervision().Supervisor();
    struct TCase
    {
        const char* Name;
        std::function<void()> Act;
        int Chosen;
    };
    const TCase cases[] = {
        {"peak button", [&] { session.SelectPeak(PeakF); }, PeakF},
        {"half-automatic Start", [&] { session.Start(_sm_half_automatic); }, 0},
        {"automatic Start", [&] { session.Start(_sm_automatic, PeakF + 1); }, PeakF + 1},
        {"a Set", [&] { session.SetHarmonic(1); }, PeakF + 1},
        {"the parameters read", [&] { session.ReadParameters(); }, PeakF + 1},
        {"Lock", [&] { session.Lock(); }, 0},
    };
    for (const TCase& c : cases) {
        c.Act();
        EXPECT_EQ(supervisor.RememberedPeakId(), c.Chosen) << c.Name;
    }
}
