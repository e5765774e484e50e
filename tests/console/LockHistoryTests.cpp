// SPDX-License-Identifier: GPL-3.0-or-later
// The lock history: the records a session leaves in the journal, with their
// fields, written to a recording sink; the readings once a minute; the pace
// of each kind of record, against a controller flapping at the line rate;
// the journal's writer where no journal listens, what it sends to a
// stand-in journal, one that stops reading and one that comes back, and the
// real journal where one listens; and the queries
// of the lab-integration page, run against an empty journal so that a query
// the journal cannot parse, or one that asks for a field the console never
// writes, fails here.
#include "ConsoleTestSupport.h"

#include "RecordingJournal.h"
#include "StandInJournal.h"
#include "console/MainUnit.h"
#include "console/PeakPanel.h"
#include "console/model/ConsoleLog.h"
#include "console/model/ConsoleSession.h"
#include "console/model/JournalWriter.h"
#include "console/model/LockHistory.h"
#include "protocol/MainThreadCallList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <set>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::vector<QByteArray> Events(const std::vector<TJournalRecord>& records)
{
    std::vector<QByteArray> events;
    for (const TJournalRecord& record : records)
        events.push_back(JournalField(record, "VARNEL_EVENT"));
    return events;
}

const QString Device = QStringLiteral("KWTP Controller");
constexpr double FPeak = 473612353.597;
constexpr double JPeak = 473612193.136;

// A night of one console: connect, the controller's statuses, a start from
// the simple menu, a lock, the same lock reported again, a lock on another
// peak, a lock command, and the link lost.
void PlaySession(TLockHistory& history)
{
    // A second passes between any two looks at the clock: no status change
    // comes too soon after another of its code.
    history.SetClock([now = qint64(0)]() mutable { return now += 1000; });
    history.Status(14, QStringLiteral("wait for user")); // not connected: no record
    history.Connected(Device);
    history.Status(7, QStringLiteral("tuning - prepare"));
    history.Status(7, QStringLiteral("tuning - prepare"));
    history.Status(14, QStringLiteral("wait for user"));
    history.StartSent(_sk_peak_button, 6);
    history.Status(2, QStringLiteral("tuning - lock try"));
    history.Status(3, QStringLiteral("tuning - locked"));
    history.LockReported(6, FPeak);
    history.Status(3, QStringLiteral("tuning - locked"));
    history.LockReported(6, FPeak);
    history.Status(4, QStringLiteral("unlocked"));
    history.StartSent(_sk_half_automatic, 0);
    history.LockSent();
    history.Status(3, QStringLiteral("tuning - locked"));
    history.LockReported(200, 0);
    history.StartSent(_sk_automatic, 10);
    history.Status(1, QStringLiteral("tuning - start"));
    history.Status(3, QStringLiteral("tuning - locked"));
    history.LockReported(10, JPeak);
    history.LinkLost();
    history.LinkLost();
    history.Status(3, QStringLiteral("tuning - locked")); // after the loss: no record
}

TEST(LockHistory, ASessionLeavesOneRecordPerChangeWithItsFields)
{
    auto sink = std::make_shared<TRecordingSink>();
    TLockHistory history;
    history.SetJournalSink(sink);
    PlaySession(history);

    const std::vector<QByteArray> expected = {
        "connected",     "status", "status",        "start-command", "status",   "status",
        "lock",          "status", "start-command", "lock-command",  "status",   "lock",
        "start-command", "status", "status",        "lock",          "link-lost"};
    ASSERT_EQ(Events(sink->Records), expected);

    for (const TJournalRecord& record : sink->Records) {
        ASSERT_GE(record.size(), 5u);
        EXPECT_EQ(record[0].first, "MESSAGE");
        EXPECT_EQ(JournalField(record, "SYSLOG_IDENTIFIER"), "varnel");
        EXPECT_EQ(JournalField(record, "VARNEL_DEVICE"), Device.toUtf8());
        EXPECT_EQ(JournalField(record, "PRIORITY"), record == sink->Records.back() ? "4" : "6");
        for (const auto& [name, value] : record)
            EXPECT_TRUE(QRegularExpression(QStringLiteral("^[A-Z][A-Z0-9_]*$"))
                            .match(QString::fromLatin1(name))
                            .hasMatch())
                << name.toStdString();
    }

    const auto& r = sink->Records;
    EXPECT_EQ(JournalField(r[0], "MESSAGE"), "connected to KWTP Controller");
    EXPECT_EQ(JournalField(r[2], "VARNEL_STATUS"), "14");
    EXPECT_EQ(JournalField(r[2], "VARNEL_STATUS_TEXT"), "wait for user");
    EXPECT_EQ(JournalField(r[2], "MESSAGE"), "status 14: wait for user");
    EXPECT_EQ(JournalField(r[3], "VARNEL_MODE"), "peak-button");
    EXPECT_EQ(JournalField(r[3], "VARNEL_PEAK"), "f");
    EXPECT_EQ(JournalField(r[3], "VARNEL_PEAK_ID"), "6");
    EXPECT_EQ(JournalField(r[6], "VARNEL_PEAK"), "f");
    EXPECT_EQ(JournalField(r[6], "VARNEL_PEAK_ID"), "6");
    EXPECT_EQ(JournalField(r[6], "VARNEL_FREQUENCY_MHZ"), "473612353.597");
    EXPECT_EQ(JournalField(r[6], "MESSAGE"), "locked at peak f, 473612353.597 MHz");
    EXPECT_EQ(JournalField(r[8], "VARNEL_MODE"), "half-automatic");
    EXPECT_EQ(JournalField(r[8], "VARNEL_PEAK"), "(none)");
    EXPECT_EQ(JournalField(r[9], "MESSAGE"), "lock sent");
    // An id that names no peak is recorded as the number it is.
    EXPECT_EQ(JournalField(r[11], "VARNEL_PEAK"), "(none)");
    EXPECT_EQ(JournalField(r[11], "VARNEL_PEAK_ID"), "200");
    EXPECT_EQ(JournalField(r[11], "VARNEL_FREQUENCY_MHZ"), "(none)");
    EXPECT_EQ(JournalField(r[12], "VARNEL_MODE"), "automatic");
    EXPECT_EQ(JournalField(r[12], "VARNEL_PEAK"), "j");
    EXPECT_EQ(JournalField(r[15], "VARNEL_FREQUENCY_MHZ"), "473612193.136");
    EXPECT_EQ(JournalField(r[16], "MESSAGE"), "link to KWTP Controller lost");

    // Nothing of the lost connection is left standing.
    EXPECT_EQ(history.Facts(), TConsoleFacts());
}

TEST(LockHistory, FactsFollowTheControllerAndTheReadingsAreRecordedEachMinute)
{
    auto sink = std::make_shared<TRecordingSink>();
    TLockHistory history;
    history.SetJournalSink(sink);
    int changes = 0;
    QObject::connect(&history, &TLockHistory::FactsChanged, [&] { ++changes; });

    history.CFT(21.0); // not connected: not kept
    EXPECT_EQ(history.Facts(), TConsoleFacts());
    EXPECT_FALSE(history.ReadingsTimerActive());
    history.Connected(Device);
    EXPECT_TRUE(history.ReadingsTimerActive());
    history.CFT(23.5);
    history.TuningMirror(40);
    history.StabilizationMirror(255);
    history.WorkingTime(65836);
    history.Status(3, QStringLiteral("tuning - locked"));
    history.LockReported(6, FPeak);
    changes = 0;
    history.TuningMirror(40); // the same value again changes nothing
    EXPECT_EQ(changes, 0);

    TConsoleFacts expected;
    expected.Connected = true;
    expected.Device = Device;
    expected.StatusCode = 3;
    expected.StatusText = QStringLiteral("tuning - locked");
    expected.Locked = true;
    expected.LockedPeak = QStringLiteral("f");
    expected.LockedFrequency = FPeak;
    expected.CFT = 23.5;
    expected.TuningMirror = 40;
    expected.StabilizationMirror = 255;
    expected.WorkingTime = 65836;
    EXPECT_EQ(history.Facts(), expected);

    sink->Records.clear();
    history.RecordReadings();
    ASSERT_EQ(sink->Records.size(), 1u);
    const TJournalRecord& readings = sink->Records[0];
    EXPECT_EQ(JournalField(readings, "VARNEL_EVENT"), "readings");
    EXPECT_EQ(JournalField(readings, "VARNEL_CFT"), "23.5");
    EXPECT_EQ(JournalField(readings, "VARNEL_TUNING_MIRROR"), "40");
    EXPECT_EQ(JournalField(readings, "VARNEL_STABILIZATION_MIRROR"), "255");
    EXPECT_EQ(JournalField(readings, "VARNEL_WORKING_TIME"), "65836");
    EXPECT_EQ(JournalField(readings, "MESSAGE"),
              QString::fromUtf8("CFT 23.5 °C, tuning mirror 40, stabilization mirror 255, "
                                "working time 1097:16")
                  .toUtf8());

    // Leaving the lock clears its peak; disconnecting clears everything and
    // stops the readings.
    history.Status(4, QStringLiteral("unlocked"));
    EXPECT_FALSE(history.Facts().Locked);
    EXPECT_EQ(history.Facts().LockedPeak, QString());
    EXPECT_EQ(history.Facts().LockedFrequency, 0.0);
    history.Disconnected();
    EXPECT_FALSE(history.ReadingsTimerActive());
    EXPECT_EQ(history.Facts(), TConsoleFacts());
    sink->Records.clear();
    history.RecordReadings();
    EXPECT_TRUE(sink->Records.empty());

    // A connect to another bridge while connected closes the first one.
    history.Connected(Device);
    history.Connected(QStringLiteral("KWTP Spare"));
    ASSERT_EQ(Events(sink->Records),
              (std::vector<QByteArray>{"connected", "disconnected", "connected"}));
    EXPECT_EQ(JournalField(sink->Records[1], "VARNEL_DEVICE"), Device.toUtf8());
    EXPECT_EQ(JournalField(sink->Records[2], "VARNEL_DEVICE"), "KWTP Spare");
}

// What happens at a moment of the fake clock: a status code, or one of the
// steps below.
enum : int
{
    HeldBackTimer = -1, // the held-back status timer fires
    Lost = -2,          // the link is lost
    Connect = -3,
};

struct TPaceStep
{
    qint64 At;
    int What;
};

// A status record as (code, changes held back); link records as (step, 0).
using TPaceRecord = std::pair<int, int>;

std::vector<TPaceRecord> PaceRecords(const std::vector<TJournalRecord>& records)
{
    std::vector<TPaceRecord> result;
    for (const TJournalRecord& record : records) {
        const QByteArray event = JournalField(record, "VARNEL_EVENT");
        const QByteArray held = JournalField(record, "VARNEL_STATUS_HELD_BACK");
        if (event == "status")
            result.emplace_back(JournalField(record, "VARNEL_STATUS").toInt(),
                                held == "(none)" ? 0 : held.toInt());
        else
            result.emplace_back(event == "link-lost" ? Lost : Connect, 0);
    }
    return result;
}

TEST(LockHistory, StatusRecordsOfACodeComeAtMostOnceASecondWithTheChangesHeldBackCounted)
{
    struct TCase
    {
        const char* Name;
        std::vector<TPaceStep> Steps;
        std::vector<TPaceRecord> Expected;
    };
    const std::vector<TCase> cases = {
        {"a change within its code's second is held back and counted in the code's next record",
         {{0, 3}, {100, 4}, {200, 3}, {300, 4}, {1000, 3}, {1100, 4}},
         {{3, 0}, {4, 0}, {3, 1}, {4, 1}}},
        {"a held-back change still current is written once its second is over",
         {{0, 3},
          {100, 4},
          {200, 3},
          {500, HeldBackTimer},
          {1000, HeldBackTimer},
          {3000, HeldBackTimer}},
         {{3, 0}, {4, 0}, {3, 0}}},
        {"only the current status is written late; the one it replaced stays counted",
         {{0, 3}, {100, 4}, {200, 3}, {300, 4}, {1100, HeldBackTimer}, {5000, 3}},
         {{3, 0}, {4, 0}, {4, 0}, {3, 1}}},
        {"the same code again is no change",
         {{0, 3}, {10, 3}, {20, 3}, {30, HeldBackTimer}, {1100, HeldBackTimer}},
         {{3, 0}}},
        {"a held-back status is written before the link's end; a new link starts afresh",
         {{0, 3}, {100, 4}, {200, 3}, {300, Lost}, {400, Connect}, {500, 3}, {600, 4}},
         {{Connect, 0}, {3, 0}, {4, 0}, {3, 0}, {Lost, 0}, {Connect, 0}, {3, 0}, {4, 0}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        auto sink = std::make_shared<TRecordingSink>();
        TLockHistory history;
        history.SetJournalSink(sink);
        qint64 now = 0;
        history.SetClock([&now] { return now; });
        history.Connected(Device);
        for (const TPaceStep& step : c.Steps) {
            now = step.At;
            if (step.What == HeldBackTimer)
                history.WriteHeldBackStatus();
            else if (step.What == Lost)
                history.LinkLost();
            else if (step.What == Connect)
                history.Connected(Device);
            else
                history.Status(static_cast<uint32_t>(step.What), QStringLiteral("text"));
        }
        std::vector<TPaceRecord> expected = c.Expected;
        if (expected.front().first != Connect)
            expected.insert(expected.begin(), {Connect, 0});
        EXPECT_EQ(PaceRecords(sink->Records), expected);
    }
}

// What a paced sink passed on, one text a record: its event, and for a
// summary the kind, the count, the priority and the device.
std::vector<std::string> PacedOutput(const std::vector<TJournalRecord>& records)
{
    std::vector<std::string> texts;
    for (const TJournalRecord& record : records) {
        std::string text = JournalField(record, "VARNEL_EVENT").toStdString();
        if (text == "suppressed") {
            text += " " + JournalField(record, "VARNEL_SUPPRESSED_EVENT").toStdString() + " " +
                    JournalField(record, "VARNEL_SUPPRESSED").toStdString() + " p" +
                    JournalField(record, "PRIORITY").toStdString();
            if (JournalField(record, "VARNEL_DEVICE") != "(none)")
                text += " @" + JournalField(record, "VARNEL_DEVICE").toStdString();
        }
        texts.push_back(text);
    }
    return texts;
}

TEST(JournalPace, EachKindOfRecordHasABurstAndAPaceAndWhatCameFasterIsSummedUp)
{
    // What happens at a moment: a record of an event (priority 6 unless
    // given), or one of the sink's calls.
    struct TStep
    {
        qint64 At;
        std::string What; // an event, or "calm", "end", "next" (the next calm check)
        int Priority = 6;
        int Times = 1;
    };
    struct TCase
    {
        const char* Name;
        std::vector<TStep> Steps;
        std::vector<std::string> Expected;
    };
    const std::vector<TCase> cases = {
        {"a burst passes; the rest is counted and summed up once the kind may write again",
         {{0, "lock", 6, 5}, {0, "next"}, {500, "calm"}, {1000, "calm"}, {1000, "next"}},
         {"lock", "lock", "lock", "next 1000", "suppressed lock 2 p6", "next none"}},
        {"the summary goes before the kind's next record",
         {{0, "lock", 6, 4}, {1000, "lock"}},
         {"lock", "lock", "lock", "suppressed lock 1 p6", "lock"}},
        {"kinds are paced apart: a flood of one leaves the others alone",
         {{0, "lock", 6, 5}, {0, "link-lost", 4}, {0, "connected"}, {1000, "calm"}},
         {"lock", "lock", "lock", "link-lost", "connected", "suppressed lock 2 p6"}},
        {"a steady flood: one record and one summary an interval",
         {{0, "lock", 6, 3},
          {10, "lock"},
          {990, "lock", 6, 98},
          {1000, "lock"},
          {1010, "lock", 6, 99},
          {2000, "lock"},
          {2010, "lock", 6, 99},
          {2990, "end"}},
         {"lock", "lock", "lock", "suppressed lock 99 p6", "lock", "suppressed lock 99 p6", "lock",
          "suppressed lock 99 p6"}},
        {"a summary carries the most urgent priority among what it stands for",
         {{0, "relocked", 6, 3}, {0, "relocked", 4}, {0, "relocked", 6}, {5000, "calm"}},
         {"relocked", "relocked", "relocked", "suppressed relocked 2 p4"}},
        {"a kind that has calmed down gets its whole burst back",
         {{0, "lock", 6, 4}, {10000, "lock", 6, 3}, {10000, "lock"}},
         {"lock", "lock", "lock", "suppressed lock 1 p6", "lock", "lock", "lock"}},
    };
    TJournalPaceRules rules;
    rules.Default = {3, 1000};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        auto recording = std::make_shared<TRecordingSink>();
        qint64 now = 0;
        TPacedJournalSink sink(recording, rules, [&now] { return now; });
        std::vector<std::string> output;
        const auto collect = [&] {
            for (const std::string& text : PacedOutput(recording->Records))
                output.push_back(text);
            recording->Records.clear();
        };
        for (const TStep& step : c.Steps) {
            now = step.At;
            if (step.What == "calm") {
                sink.WriteCalmSummaries();
            } else if (step.What == "end") {
                sink.WriteAllSummaries();
            } else if (step.What == "next") {
                collect();
                const std::optional<qint64> next = sink.NextCalmCheck();
                output.push_back("next " + (next ? std::to_string(*next) : std::string("none")));
            } else {
                for (int i = 0; i < step.Times; ++i)
                    sink.Write({{"MESSAGE", "m"},
                                {"PRIORITY", QByteArray::number(step.Priority)},
                                {"SYSLOG_IDENTIFIER", "varnel"},
                                {"VARNEL_EVENT", QByteArray::fromStdString(step.What)}});
            }
            collect();
        }
        EXPECT_EQ(output, c.Expected);
    }

    // A summary names the device of what it stands for, as every record does.
    auto recording = std::make_shared<TRecordingSink>();
    qint64 now = 0;
    TPacedJournalSink sink(recording, rules, [&now] { return now; });
    for (int i = 0; i < 4; ++i)
        sink.Write({{"MESSAGE", "m"},
                    {"PRIORITY", "6"},
                    {"SYSLOG_IDENTIFIER", "varnel"},
                    {"VARNEL_EVENT", "lock"},
                    {"VARNEL_DEVICE", Device.toUtf8()},
                    {"VARNEL_DEVICE_SERIAL", "KW000001"}});
    sink.WriteAllSummaries();
    ASSERT_EQ(recording->Records.size(), 4u);
    const TJournalRecord& summary = recording->Records.back();
    EXPECT_EQ(JournalField(summary, "MESSAGE"),
              "1 more lock record suppressed: too many came too fast");
    EXPECT_EQ(JournalField(summary, "SYSLOG_IDENTIFIER"), "varnel");
    EXPECT_EQ(JournalField(summary, "VARNEL_DEVICE"), Device.toUtf8());
    EXPECT_EQ(JournalField(summary, "VARNEL_DEVICE_SERIAL"), "KW000001");
    EXPECT_EQ(sink.Suppressed(), 1u);
}

// A session as an operator has it leaves the same records through the
// console's pace as without it.
TEST(JournalPace, ARealSessionLosesNothingToTheConsolesPace)
{
    auto plain = std::make_shared<TRecordingSink>();
    TLockHistory history;
    history.SetJournalSink(plain);
    PlaySession(history);

    auto recording = std::make_shared<TRecordingSink>();
    qint64 now = 0;
    TLockHistory pacedHistory;
    pacedHistory.SetJournalSink(std::make_shared<TPacedJournalSink>(recording, ConsoleJournalPace(),
                                                                    [&now] { return now; }));
    PlaySession(pacedHistory);
    EXPECT_EQ(Events(recording->Records), Events(plain->Records));
    EXPECT_EQ(recording->Records, plain->Records);
}

// A controller flapping at the line rate (768 messages a second) for two
// minutes, through the lock history and the console's pace, with the
// operator's lock command once a second: few records a second, every lock
// and every status change accounted for, every command recorded.
TEST(JournalPace, AControllerFlappingAtTheLineRateCannotFloodTheJournal)
{
    struct TCase
    {
        const char* Name;
        bool StatusFlaps; // 3 and 4 alternate; otherwise locked, the peak id alternates
    };
    for (const TCase& c : {TCase{"status 3 and 4 alternating", true},
                           TCase{"locked, the peak id alternating", false}}) {
        SCOPED_TRACE(c.Name);
        constexpr int Seconds = 120;
        constexpr int LineRate = 768;
        auto unpaced = std::make_shared<TRecordingSink>();
        auto recording = std::make_shared<TRecordingSink>();
        qint64 now = 0;
        auto paced = std::make_shared<TPacedJournalSink>(recording, ConsoleJournalPace(),
                                                         [&now] { return now; });
        TLockHistory before, after;
        before.SetJournalSink(unpaced);
        after.SetJournalSink(paced);
        uint64_t locks = 0, statuses = 0;
        for (TLockHistory* history : {&before, &after}) {
            history->SetClock([&now] { return now; });
            history->Connected(Device);
        }
        for (int64_t message = 0; message < int64_t(Seconds) * LineRate; ++message) {
            now = message * 1000 / LineRate;
            const bool odd = message % 2 != 0;
            for (TLockHistory* history : {&before, &after}) {
                if (c.StatusFlaps) {
                    history->Status(odd ? 4 : 3, odd ? QStringLiteral("unlocked")
                                                     : QStringLiteral("tuning - locked"));
                    if (!odd)
                        history->LockReported(6, FPeak);
                } else {
                    history->Status(3, QStringLiteral("tuning - locked"));
                    history->LockReported(odd ? 7 : 6, odd ? JPeak : FPeak);
                }
                if (message % LineRate == 0)
                    history->LockSent();
                history->WriteHeldBackStatus();
            }
            locks += c.StatusFlaps ? !odd : 1;
            statuses += c.StatusFlaps || message == 0;
            paced->WriteCalmSummaries();
        }
        now += 1000;
        for (TLockHistory* history : {&before, &after})
            history->WriteHeldBackStatus();
        paced->WriteAllSummaries();

        uint64_t lockRecords = 0, locksSuppressed = 0, statusChanges = 0, commands = 0,
                 otherSuppressed = 0;
        for (const TJournalRecord& record : recording->Records) {
            const QByteArray event = JournalField(record, "VARNEL_EVENT");
            const QByteArray held = JournalField(record, "VARNEL_STATUS_HELD_BACK");
            lockRecords += event == "lock";
            commands += event == "lock-command";
            if (event == "status")
                statusChanges += 1 + (held == "(none)" ? 0 : held.toULongLong());
            if (event == "suppressed") {
                const uint64_t count = JournalField(record, "VARNEL_SUPPRESSED").toULongLong();
                (JournalField(record, "VARNEL_SUPPRESSED_EVENT") == "lock" ? locksSuppressed
                                                                           : otherSuppressed) +=
                    count;
            }
        }
        const double rateBefore = double(unpaced->Records.size()) / Seconds;
        const double rateAfter = double(recording->Records.size()) / Seconds;
        std::printf("[ journal  ] %s at the line rate for %d s: %.1f records a second "
                    "unpaced, %.1f through the console's pace (%zu records, %llu locks)\n",
                    c.Name, Seconds, rateBefore, rateAfter, recording->Records.size(),
                    static_cast<unsigned long long>(locks));
        // A lock a second and its summary, two statuses a second, a command a
        // second, the bursts at the start.
        EXPECT_LE(recording->Records.size(), size_t(Seconds) * 5 + 60);
        EXPECT_EQ(lockRecords + locksSuppressed, locks);
        EXPECT_EQ(commands, uint64_t(Seconds));
        EXPECT_EQ(otherSuppressed, 0u) << "only the lock records exceed their pace";
        // Status changes are all accounted for but those the last record of
        // each code has not counted yet (at most a second's worth).
        EXPECT_LE(statusChanges, statuses);
        EXPECT_GE(statusChanges + (c.StatusFlaps ? LineRate : 0), statuses);
        // The journal's last status is the true one.
        for (auto record = recording->Records.rbegin(); record != recording->Records.rend();
             ++record)
            if (JournalField(*record, "VARNEL_EVENT") == "status") {
                EXPECT_EQ(JournalField(*record, "VARNEL_STATUS"), c.StatusFlaps ? "4" : "3");
                break;
            }
    }
}

TEST(LockHistory, TheSystemJournalClientIsSilentWhereNoJournalListens)
{
    static QStringList messages;
    messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
    TLockHistory history;
    history.SetJournalSink(SystemJournalSink());
    // Values with a line break and non-ASCII text go as they are.
    history.Connected(QStringLiteral("KWTP\nController µ"));
    history.Status(3, QStringLiteral("tuning - locked"));
    history.LockReported(6, FPeak);
    history.Disconnected();
    qInstallMessageHandler(previous);
    EXPECT_EQ(messages, QStringList());
}

// The window writes the records from its handlers and commands: a session
// against a fake line, from connect to the link lost, with the frames a
// controller sends; the scope samples among them leave no trace.
TEST(LockHistory, TheWindowRecordsWhatItsHandlersAndCommandsDid)
{
    auto bridge = std::make_shared<TFakeLine>();
    bridge->SetDevices({Device});
    auto sink = std::make_shared<TRecordingSink>();
    TConsoleEnvironment environment = FakeLineEnvironment(bridge);
    environment.Journal = sink;
    environment.PlaySound = [](TSystemSound) {};
    auto form = std::make_unique<TMainForm>(environment);
    int changes = 0;
    QObject::connect(&form->LockHistory(), &TLockHistory::FactsChanged, [&] { ++changes; });

    // Frames, then a bad one: once it is counted, all before it were handled.
    const auto deliver = [&](const std::vector<std::vector<uint8_t>>& frames) {
        const uint32_t expected = form->State().CRCErrorCounter + 1;
        for (const auto& frame : frames)
            bridge->Feed(frame);
        bridge->Feed({0xAA, 0x02, 0x00, 0x00, 0x00});
        return QTest::qWaitFor([&] { return form->State().CRCErrorCounter == expected; }, 30000);
    };

    form->ConnectButtonClick();
    ASSERT_TRUE(form->Session().Connection().Connected());
    EXPECT_TRUE(form->LockHistory().ReadingsTimerActive());
    ASSERT_TRUE(deliver({DeviceFrameValue(69, 0x3FFF), DeviceFrame(3, 7, 0), DeviceFrame(3, 14, 0),
                         DeviceFrame(4, 40, 0), DeviceFrame(5, 60, 0), DeviceFrameValue(8, 235),
                         DeviceFrameValue(123, 1), DeviceFrameValue(124, 300)}));
    form->SimpleFPeakPngSpeedButton->click();
    ASSERT_TRUE(deliver(
        {DeviceFrame(3, 2, 0), DeviceFrame(18, 6, 0), DeviceFrame(3, 3, 0), DeviceFrame(3, 3, 0)}));
    form->HalfautomaticRadioButton->setChecked(true);
    form->PeakPanel().StartButtonClick();
    form->PeakPanel().LockButtonClick();
    form->AutomaticRadioButton->setChecked(true);
    form->PeakPanel().StartButtonClick();
    form->LockHistory().RecordReadings();

    // A thousand scope samples change nothing and write nothing.
    const size_t recorded = sink->Records.size();
    changes = 0;
    std::vector<std::vector<uint8_t>> samples;
    for (uint16_t i = 0; i < 1000; ++i)
        samples.push_back(DeviceFrameValue(1, i));
    ASSERT_TRUE(deliver(samples));
    // The one change is the count of bad frames, from the bad frame deliver
    // sends after them.
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(sink->Records.size(), recorded);

    bridge->SetDevices({});
    bridge->SetUnplugged(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Session().Connection().Connected(); }, 30000));
    EXPECT_FALSE(form->LockHistory().ReadingsTimerActive());

    const auto& r = sink->Records;
    ASSERT_EQ(Events(r),
              (std::vector<QByteArray>{"connected", "status", "status", "start-command", "status",
                                       "status", "lock", "start-command", "lock-command",
                                       "start-command", "readings", "link-lost"}));
    EXPECT_EQ(JournalField(r[0], "VARNEL_DEVICE"), Device.toUtf8());
    EXPECT_EQ(JournalField(r[2], "VARNEL_STATUS"), "14");
    EXPECT_EQ(JournalField(r[3], "VARNEL_MODE"), "peak-button");
    EXPECT_EQ(JournalField(r[3], "VARNEL_PEAK"), "f");
    EXPECT_EQ(JournalField(r[6], "VARNEL_PEAK"), "f");
    EXPECT_EQ(JournalField(r[6], "VARNEL_FREQUENCY_MHZ"),
              QByteArray::number(form->State().Peaks().GetFPeakValue(), 'f', 3));
    EXPECT_EQ(JournalField(r[7], "VARNEL_MODE"), "half-automatic");
    EXPECT_EQ(JournalField(r[9], "VARNEL_MODE"), "automatic");
    EXPECT_EQ(JournalField(r[9], "VARNEL_PEAK_ID"),
              QByteArray::number(form->State().Peaks().SelectedPeakId()));
    EXPECT_EQ(JournalField(r[10], "VARNEL_CFT"), "23.5");
    EXPECT_EQ(JournalField(r[10], "VARNEL_TUNING_MIRROR"), "40");
    EXPECT_EQ(JournalField(r[10], "VARNEL_STABILIZATION_MIRROR"), "60");
    EXPECT_EQ(JournalField(r[10], "VARNEL_WORKING_TIME"), "65836");
    // Nothing of the controller is left standing; lock supervision's
    // figures belong to the console and outlive the link.
    TConsoleFacts idle;
    idle.Supervision = form->LockHistory().Facts().Supervision;
    EXPECT_EQ(form->LockHistory().Facts(), idle);

    // Connected again and disconnected by the operator; closing the window
    // while connected ends with a record too.
    bridge->SetUnplugged(false);
    bridge->SetDevices({Device});
    form->SearchUrzadzenButtonClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->SearchRunning(); }, 10000));
    form->ConnectButtonClick();
    ASSERT_TRUE(form->Session().Connection().Connected());
    form->DisconnectButtonClick();
    form->SearchUrzadzenButtonClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->SearchRunning(); }, 10000));
    form->ConnectButtonClick();
    ASSERT_TRUE(form->Session().Connection().Connected());
    form.reset();
    TMainThreadCallList::Instance().RunPending();
    const std::vector<QByteArray> events = Events(r);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(std::vector<QByteArray>(events.end() - 4, events.end()),
              (std::vector<QByteArray>{"connected", "disconnected", "connected", "disconnected"}));
}

bool JournalListens()
{
    return QFileInfo::exists(QStringLiteral("/run/systemd/journal/socket"));
}

// Runs a program to its end; its exit code, or -1 when it did not run.
int RunProgram(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitCode();
}

TEST(LockHistory, RecordsReachTheSystemJournal)
{
    if (!JournalListens())
        GTEST_SKIP() << "no system journal listens on this machine "
                        "(/run/systemd/journal/socket is missing); the records were tested "
                        "through the recording sink and a stand-in journal socket";
    const QString device = QStringLiteral("KWTP test %1").arg(QCoreApplication::applicationPid());
    TLockHistory history;
    history.SetJournalSink(SystemJournalSink());
    history.Connected(device);
    history.Status(3, QStringLiteral("tuning - locked"));
    history.LockReported(6, FPeak);
    history.Disconnected();
    QByteArray output;
    const bool found = QTest::qWaitFor(
        [&] {
            return RunProgram(QStringLiteral("journalctl"),
                              {QStringLiteral("-t"), QStringLiteral("varnel"),
                               QStringLiteral("VARNEL_EVENT=lock"),
                               QStringLiteral("VARNEL_DEVICE=") + device, QStringLiteral("-o"),
                               QStringLiteral("verbose")},
                              &output) == 0 &&
                   output.contains("VARNEL_PEAK=f");
        },
        30000);
    EXPECT_TRUE(found) << output.toStdString();
    EXPECT_TRUE(output.contains("VARNEL_FREQUENCY_MHZ=473612353.597")) << output.toStdString();
}

TJournalRecord NumberedRecord(int number)
{
    return {{"MESSAGE", "record " + QByteArray::number(number)},
            {"PRIORITY", "6"},
            {"SYSLOG_IDENTIFIER", "varnel"},
            {"VARNEL_EVENT", "lock"},
            {"VARNEL_DEVICE", Device.toUtf8()}};
}

TJournalWriterOptions StandInOptions(const TStandInJournal& journal)
{
    TJournalWriterOptions options;
    options.SocketPath = journal.Path();
    options.Pace.reset();
    return options;
}

// One datagram a record, in the journal's native protocol; what the writer
// was given just before its end still goes out.
TEST(JournalWriter, SendsEachFieldAsItIsAndWhatWaitsAtItsEnd)
{
    TStandInJournal journal;
    ASSERT_TRUE(journal.Listen());
    const QByteArray device = "KWTP\nController";
    const TJournalRecord record = {{"MESSAGE", "locked at peak f, 473612353.597 MHz"},
                                   {"PRIORITY", "6"},
                                   {"SYSLOG_IDENTIFIER", "varnel"},
                                   {"VARNEL_EVENT", "lock"},
                                   {"VARNEL_DEVICE", device},
                                   {"VARNEL_PEAK", "f"}};
    auto writer = std::make_unique<TJournalWriter>(StandInOptions(journal));
    writer->Write(record);
    writer->Write(NumberedRecord(1));
    writer.reset();
    // A value with a line break goes as its name, a line break, its length
    // as 64-bit little-endian and the bytes.
    QByteArray lengthBytes(8, '\0');
    lengthBytes[0] = static_cast<char>(device.size());
    const QByteArray expected = "MESSAGE=locked at peak f, 473612353.597 MHz\nPRIORITY=6\n"
                                "SYSLOG_IDENTIFIER=varnel\nVARNEL_EVENT=lock\nVARNEL_DEVICE\n" +
                                lengthBytes + device + "\nVARNEL_PEAK=f\n";
    EXPECT_EQ(journal.Receive(10000).toStdString(), expected.toStdString());
    EXPECT_EQ(ParseDatagram(journal.Receive(10000)), NumberedRecord(1));
}

// A journal that stops reading: the caller never waits (a rescuer reads
// the socket if a Write has not returned after a minute, and the test
// fails); what the queue cannot take is dropped and counted, and once the
// journal reads again it gets the records held, then how many were dropped.
TEST(JournalWriter, AStalledJournalNeverHoldsUpTheCallerAndIsToldWhatWasDropped)
{
    TStandInJournal journal;
    ASSERT_TRUE(journal.Listen());
    TJournalWriterOptions options = StandInOptions(journal);
    options.QueueCapacity = 50;
    auto writer = std::make_unique<TJournalWriter>(options);

    constexpr int Flood = 2000;
    std::atomic<bool> flooded{false};
    std::atomic<bool> rescued{false};
    std::thread rescuer([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!flooded && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (!flooded) {
            rescued = true;
            (void)journal.Receive(10);
        }
    });
    double longestMsec = 0;
    for (int i = 0; i < Flood; ++i) {
        const auto start = std::chrono::steady_clock::now();
        writer->Write(NumberedRecord(i));
        longestMsec = std::max(longestMsec, std::chrono::duration<double, std::milli>(
                                                std::chrono::steady_clock::now() - start)
                                                .count());
    }
    flooded = true;
    rescuer.join();
    ASSERT_FALSE(rescued) << "a Write waited for the journal";
    std::printf("[ journal  ] %d records to a journal that does not read: the longest Write "
                "took %.3f ms\n",
                Flood, longestMsec);

    // The writer holds what the socket and the queue take; the rest is lost.
    TJournalWriter::TCounts counts = writer->Counts();
    EXPECT_GT(counts.Dropped, 0u);
    EXPECT_LE(counts.Waiting, options.QueueCapacity + 1);
    EXPECT_EQ(counts.Sent + counts.Dropped + counts.Waiting, uint64_t(Flood));

    // The journal reads again: it gets every record held, in order, and a
    // count of those dropped where they were dropped (where the queue had
    // room again in between, more than one).
    const uint64_t dropped = writer->Counts().Dropped;
    int next = 0;
    uint64_t told = 0, summaries = 0, droppedHere = 0;
    while (next + static_cast<int>(droppedHere) < Flood) {
        const QByteArray datagram = journal.Receive(10000);
        ASSERT_FALSE(datagram.isEmpty()) << "after record " << next;
        const TJournalRecord record = ParseDatagram(datagram);
        if (JournalField(record, "VARNEL_EVENT") == "dropped") {
            ++summaries;
            droppedHere += JournalField(record, "VARNEL_DROPPED").toULongLong();
            EXPECT_EQ(JournalField(record, "PRIORITY"), "4");
            EXPECT_EQ(JournalField(record, "SYSLOG_IDENTIFIER"), "varnel");
            EXPECT_EQ(JournalField(record, "VARNEL_DEVICE"), Device.toUtf8());
            const QByteArray count = JournalField(record, "VARNEL_DROPPED");
            EXPECT_EQ(JournalField(record, "MESSAGE"),
                      count + (count == "1" ? " record" : " records") +
                          " dropped: the journal did not take them");
            continue;
        }
        ASSERT_EQ(record, NumberedRecord(next + static_cast<int>(droppedHere)));
        next += static_cast<int>(droppedHere) + 1;
        told += droppedHere;
        droppedHere = 0;
    }
    told += droppedHere;
    EXPECT_EQ(told, dropped);
    EXPECT_TRUE(journal.Receive(200).isEmpty());
    writer->Write(NumberedRecord(Flood));
    EXPECT_EQ(ParseDatagram(journal.Receive(10000)), NumberedRecord(Flood));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return writer->Counts().Sent == uint64_t(Flood) - dropped + summaries + 1; }, 10000));
}

// No journal at first: the records go nowhere, silently. A journal that
// appears later (or comes back as a new socket) is told how many it missed,
// before the next record.
TEST(JournalWriter, AJournalThatComesBackIsToldWhatItMissed)
{
    static QStringList messages;
    messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
    TStandInJournal journal;
    TJournalWriter writer(StandInOptions(journal));
    for (int i = 0; i < 3; ++i)
        writer.Write(NumberedRecord(i));
    EXPECT_TRUE(QTest::qWaitFor([&] { return writer.Counts().Dropped == 3; }, 10000));

    for (int restart = 0; restart < 2; ++restart) {
        SCOPED_TRACE(restart == 0 ? "a journal appears" : "the journal comes back");
        ASSERT_TRUE(journal.Listen());
        writer.Write(NumberedRecord(10 + restart));
        const TJournalRecord summary = ParseDatagram(journal.Receive(10000));
        EXPECT_EQ(JournalField(summary, "VARNEL_EVENT"), "dropped");
        EXPECT_EQ(JournalField(summary, "VARNEL_DROPPED"), restart == 0 ? "3" : "1");
        EXPECT_EQ(ParseDatagram(journal.Receive(10000)), NumberedRecord(10 + restart));
        journal.Close();
        writer.Write(NumberedRecord(20 + restart));
        EXPECT_TRUE(QTest::qWaitFor([&] { return writer.Counts().Waiting == 0; }, 10000));
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(messages, QStringList());
}

// The writer's own thread writes a kind's summary once the kind has calmed
// down, with no further record to carry it.
TEST(JournalWriter, ASummaryComesWhenAFloodCalmsDown)
{
    TStandInJournal journal;
    ASSERT_TRUE(journal.Listen());
    TJournalWriterOptions options = StandInOptions(journal);
    TJournalPaceRules rules;
    rules.Default = {2, 200};
    options.Pace = rules;
    TJournalWriter writer(options);
    for (int i = 0; i < 5; ++i)
        writer.Write(NumberedRecord(i));
    EXPECT_EQ(ParseDatagram(journal.Receive(10000)), NumberedRecord(0));
    EXPECT_EQ(ParseDatagram(journal.Receive(10000)), NumberedRecord(1));
    const TJournalRecord summary = ParseDatagram(journal.Receive(10000));
    EXPECT_EQ(JournalField(summary, "VARNEL_EVENT"), "suppressed");
    EXPECT_EQ(JournalField(summary, "VARNEL_SUPPRESSED_EVENT"), "lock");
    EXPECT_EQ(JournalField(summary, "VARNEL_SUPPRESSED"), "3");
    EXPECT_EQ(writer.Counts().Suppressed, 3u);
}

// The console's log, where it goes to the journal, goes through a writer of
// its own: a journal that stops reading holds up no thread that logs (a
// logging call that waited would hang the test), and is told later how many
// messages it missed.
TEST(JournalWriter, TheConsolesLogNeverWaitsForTheJournal)
{
    TStandInJournal journal;
    ASSERT_TRUE(journal.Listen());
    const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    LogToJournalAt(journal.Path());
    for (int i = 0; i < 2000; ++i)
        qCWarning(VarnelConsoleLog) << "message" << i;
    qInstallMessageHandler(previous);

    const TJournalRecord first = ParseDatagram(journal.Receive(10000));
    EXPECT_EQ(JournalField(first, "MESSAGE"), "message 0");
    EXPECT_EQ(JournalField(first, "PRIORITY"), "4");
    EXPECT_EQ(JournalField(first, "SYSLOG_IDENTIFIER"), "varnel");
    EXPECT_EQ(JournalField(first, "QT_CATEGORY"), "varnel.console");
    QByteArray told = "(none)";
    while (told == "(none)") {
        const QByteArray datagram = journal.Receive(10000);
        if (datagram.isEmpty())
            break;
        told = JournalField(ParseDatagram(datagram), "VARNEL_DROPPED");
    }
    EXPECT_GT(told.toInt(), 0);
}

// The shell commands of a page's sh blocks that start with the program.
QStringList PageCommands(const QString& page, const QString& program)
{
    QFile file(page);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList commands;
    bool inShell = false;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("```")))
            inShell = !inShell && line == QLatin1String("```sh");
        else if (inShell && line.startsWith(program + QLatin1Char(' ')))
            commands << line;
    }
    return commands;
}

TEST(LockHistory, TheJournalQueriesOfTheLabPageParseAndAskForWhatTheConsoleWrites)
{
    const QStringList queries =
        PageCommands(QStringLiteral(VARNEL_LAB_PAGE), QStringLiteral("journalctl"));
    ASSERT_EQ(queries.size(), 2) << "the page shows two journal queries";
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("journalctl")).isEmpty())
        << "journalctl is missing (Debian package systemd)";

    // Every field and event a query matches on is one a session writes.
    auto sink = std::make_shared<TRecordingSink>();
    TLockHistory history;
    history.SetJournalSink(sink);
    PlaySession(history);
    history.Connected(Device);
    history.RecordReadings();
    // A burst of status changes, for the count of those held back.
    qint64 now = 0;
    history.SetClock([&now] { return now; });
    for (uint32_t code : {3u, 4u, 3u, 4u})
        history.Status(code, QStringLiteral("text"));
    now = 5000;
    history.Status(3, QStringLiteral("tuning - locked"));
    history.Disconnected();
    // A flood of one kind, for the summary of those suppressed, and a
    // journal that missed records, for the count of those dropped.
    const TJournalRecord connected = sink->Records.front();
    TPacedJournalSink paced(sink, ConsoleJournalPace(), [] { return qint64(0); });
    for (int i = 0; i < 20; ++i)
        paced.Write(connected);
    paced.WriteAllSummaries();
    TStandInJournal journal;
    TJournalWriterOptions options;
    options.SocketPath = journal.Path();
    TJournalWriter writer(options);
    writer.Write(connected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return writer.Counts().Dropped == 1; }, 10000));
    ASSERT_TRUE(journal.Listen());
    writer.Write(connected);
    sink->Records.push_back(ParseDatagram(journal.Receive(10000)));
    std::set<QString> written;
    for (const TJournalRecord& record : sink->Records)
        for (const auto& [name, value] : record) {
            written.insert(QString::fromLatin1(name));
            if (name == "VARNEL_EVENT" || name == "SYSLOG_IDENTIFIER")
                written.insert(QString::fromLatin1(name + '=' + value));
        }

    QTemporaryDir emptyJournal;
    ASSERT_TRUE(emptyJournal.isValid());
    for (const QString& query : queries) {
        SCOPED_TRACE(query.toStdString());
        QStringList arguments = QProcess::splitCommand(query);
        const QString program = arguments.takeFirst();
        ASSERT_TRUE(arguments.contains(QStringLiteral("-t")));
        // Records any local program could forge are left out: only those of
        // the installed console's executable count.
        EXPECT_TRUE(arguments.contains(QStringLiteral("_EXE=/usr/bin/varnel")));
        EXPECT_TRUE(written.count(QStringLiteral("SYSLOG_IDENTIFIER=") +
                                  arguments.value(arguments.indexOf(QStringLiteral("-t")) + 1)));
        for (const QString& argument : arguments) {
            const QRegularExpressionMatch match =
                QRegularExpression(QStringLiteral("^(VARNEL_[A-Z_]+)=(.*)$")).match(argument);
            if (!match.hasMatch())
                continue;
            EXPECT_TRUE(written.count(match.captured(1))) << argument.toStdString();
            if (match.captured(1) == QLatin1String("VARNEL_EVENT")) {
                EXPECT_TRUE(written.count(argument)) << argument.toStdString();
            }
        }
        for (const QString& argument : arguments) {
            if (!argument.startsWith(QLatin1String("--output-fields=")))
                continue;
            for (const QString& name : argument.mid(16).split(QLatin1Char(',')))
                EXPECT_TRUE(written.count(name)) << name.toStdString();
        }
        // An empty journal answers a query it can parse with no entries.
        QByteArray output;
        EXPECT_EQ(RunProgram(program,
                             arguments << QStringLiteral("--directory=") + emptyJournal.path(),
                             &output),
                  0)
            << output.toStdString();
    }
}

} // namespace
