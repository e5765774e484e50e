// SPDX-License-Identifier: GPL-3.0-or-later
// The sample stream without a chart: the scope's samples reach the trace
// buffer and the data log side by side and in order, the trace keeps the
// newest thousand and asks for one refresh per burst, at most one per
// interval while samples stream and the last ones after the stream stops,
// and the log writes the samples on screen first, then each new one, in
// batches, everything by the close, with no chart anywhere.
#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/DataLog.h"
#include "console/model/TraceBuffer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <iterator>
#include <limits>

namespace {

QByteArray WaitForFile(const QString& fileName, const QByteArray& expected)
{
    QByteArray content;
    (void)QTest::qWaitFor(
        [&] {
            QFile file(fileName);
            if (file.open(QIODevice::ReadOnly))
                content = file.readAll();
            return content == expected;
        },
        30000);
    return content;
}

TEST(TraceBuffer, KeepsTheNewestThousandAndRefreshesOncePerBurst)
{
    TTraceBuffer trace(5);
    QSignalSpy refreshed(&trace, &TTraceBuffer::Refreshed);
    for (int k = 0; k < 1500; ++k)
        trace.Append(k);
    ASSERT_EQ(trace.Values().size(), TTraceBuffer::Capacity);
    EXPECT_EQ(trace.Values().first(), 500);
    EXPECT_EQ(trace.Values().last(), 1499);
    EXPECT_EQ(trace.Low(), 500);
    EXPECT_EQ(trace.High(), 1499);
    EXPECT_EQ(refreshed.count(), 0); // nothing is drawn sample by sample
    ASSERT_TRUE(refreshed.wait(30000));
    QTest::qWait(20);
    EXPECT_EQ(refreshed.count(), 1);

    TTraceBuffer empty(5);
    EXPECT_EQ(empty.Low(), 0);
    EXPECT_EQ(empty.High(), 0);
}

TEST(TraceBuffer, RefreshesAtMostOncePerIntervalWhileSamplesStreamAndShowsTheLastAfter)
{
    constexpr int intervalMsec = 50;
    TTraceBuffer trace(intervalMsec);
    QElapsedTimer clock;
    clock.start();
    // When each refresh came and the newest sample it showed.
    QList<qint64> refreshedAt;
    QList<double> shown;
    QObject::connect(&trace, &TTraceBuffer::Refreshed, [&] {
        refreshedAt.append(clock.nsecsElapsed());
        shown.append(trace.Values().last());
    });

    // A pass of three samples every 3 ms, as the reader delivers the line,
    // for 400 ms.
    int next = 0;
    QTimer passes;
    passes.setTimerType(Qt::PreciseTimer);
    QObject::connect(&passes, &QTimer::timeout, [&] {
        for (int k = 0; k < 3; ++k)
            trace.Append(next++);
        if (clock.elapsed() >= 400)
            passes.stop();
    });
    passes.start(3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !passes.isActive(); }, 30000));
    EXPECT_FALSE(refreshedAt.isEmpty()); // drawn while the samples streamed

    // The last samples are drawn once the stream has stopped, and nothing
    // more after that.
    const double last = next - 1;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shown.isEmpty() && shown.last() == last; }, 30000));
    const qsizetype refreshes = refreshedAt.size();
    QTest::qWait(3 * intervalMsec);
    EXPECT_EQ(refreshedAt.size(), refreshes);

    // One sample after a refresh, whenever it comes, is drawn too.
    trace.Append(-1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.last() == -1; }, 30000));

    // Never two refreshes closer than the interval (to the millisecond the
    // buffer measures in).
    for (qsizetype k = 1; k < refreshedAt.size(); ++k)
        EXPECT_GE(refreshedAt[k] - refreshedAt[k - 1], (intervalMsec - 1) * 1000000LL)
            << "refresh " << k;
    // Each refresh came after a whole pass, never amid one.
    for (qsizetype k = 0; k + 1 < shown.size(); ++k)
        EXPECT_EQ(static_cast<int>(shown[k]) % 3, 2) << "refresh " << k;
    ASSERT_GE(trace.Values().size(), 2);
    EXPECT_EQ(trace.Values()[trace.Values().size() - 2], last);
}

TEST(SampleStream, LogTakesTheScreensSamplesThenEveryNewOneWithNoChart)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fileName = dir.filePath("log.txt");
    // The session's own wiring: its state's samples reach its log.
    TConsoleSessionSettings settings;
    settings.LogFlushMsec = 10;
    TConsoleSession session(settings);
    TControllerState& state = session.State();

    // Samples before the log: the backlog, as the trace has them.
    state.HandleScopeSample(17640); // 0
    state.HandleScopeSample(17630); // 10
    EXPECT_FALSE(session.IsLogging());
    session.StartLog(fileName, state.ScopeTrace().Values());
    EXPECT_TRUE(session.IsLogging());
    state.HandleScopeSample(0);     // 17640
    state.HandleScopeSample(35280); // -17640
    state.HandleScopeSample(17641); // -1
    EXPECT_EQ(WaitForFile(fileName, "0\r\n10\r\n17640\r\n-17640\r\n-1\r\n"),
              "0\r\n10\r\n17640\r\n-17640\r\n-1\r\n");

    // Closed: later samples stay out, and what was given is in the file.
    state.HandleScopeSample(17639);
    session.StopLog();
    EXPECT_FALSE(session.IsLogging());
    state.HandleScopeSample(17638);
    QTest::qWait(50);
    EXPECT_EQ(WaitForFile(fileName, "0\r\n10\r\n17640\r\n-17640\r\n-1\r\n1\r\n"),
              "0\r\n10\r\n17640\r\n-17640\r\n-1\r\n1\r\n");
}

TEST(SampleStream, LogHandsOverAFullBatchAtOnceAndEverythingAtTheClose)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fileName = dir.filePath("log.txt");
    // Batches an hour apart: only a full batch or the close writes.
    TDataLog log(3600 * 1000);
    log.Open(fileName);
    QByteArray expected;
    int value = 0;
    while (expected.size() < TDataLog::BatchBytes) {
        log.Write(value);
        expected += QByteArray::number(value) + "\r\n";
        value = value >= 17640 ? -17640 : value + 7;
    }
    // The batch went out with the line that filled it.
    EXPECT_EQ(WaitForFile(fileName, expected), expected);
    for (int k = 0; k < 100; ++k) {
        log.Write(-k);
        expected += QByteArray::number(-k) + "\r\n";
    }
    log.Close();
    EXPECT_EQ(WaitForFile(fileName, expected), expected);
}

TEST(SampleStream, LogWritesWholeNumbersAsDigitsAndAnythingElseInTheGeneralForm)
{
    const struct
    {
        double Value;
        const char* Line;
    } cases[] = {
        {0, "0"},
        {-0.0, "0"},
        {1, "1"},
        {-1, "-1"},
        {17640, "17640"},
        {-47895, "-47895"},
        {999999999999999, "999999999999999"},
        {-999999999999999, "-999999999999999"},
        {1e15, "1e+15"},
        {-1e15, "-1e+15"},
        {0.5, "0.5"},
        {-2.25, "-2.25"},
        {1.0 / 3, "0.333333333333333"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fileName = dir.filePath("log.txt");
    TDataLog log(10);
    // Half as backlog, half as new samples: both ways write the same.
    QList<double> backlog;
    QByteArray expected;
    for (const auto& c : cases) {
        if (backlog.size() < 7)
            backlog.append(c.Value);
        expected += QByteArray(c.Line) + "\r\n";
    }
    log.Open(fileName, backlog);
    for (qsizetype k = backlog.size(); k < qsizetype(std::size(cases)); ++k)
        log.Write(cases[k].Value);
    log.Close();
    EXPECT_EQ(WaitForFile(fileName, expected), expected);
}

TEST(SampleStream, LogThatCannotBeCreatedStopsAndSaysWhy)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    TDataLog log(10);
    QSignalSpy stopped(&log, &TDataLog::Stopped);
    // A folder is no file to log to.
    log.Open(dir.path());
    log.Write(1);
    ASSERT_TRUE(stopped.wait(30000));
    EXPECT_EQ(stopped[0][0].toString(), dir.path());
    EXPECT_FALSE(stopped[0][1].toString().isEmpty());
    EXPECT_FALSE(stopped[0][2].toBool());
    EXPECT_FALSE(log.IsLogging());
}

} // namespace
