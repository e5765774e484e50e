// SPDX-License-Identifier: GPL-3.0-or-later
// The data log: every scope sample as one line of a text file while it is
// on. It takes the samples from the controller's state as they arrive, beside
// the chart and whatever the chart draws. The file is opened, written and
// closed by a writer on a thread of its own (FileWriter), so a pipe, a
// device, a full disk or a mount that stops answering never holds up the
// main thread: the lines gather here and go to the writer, in order, in
// batches (each wakes the writer's thread once), and all that is left when
// the log closes. A file that cannot be created or a failed write stops the
// log and says so; the caller tells the operator.
//
// A batch rides on the samples' arrival: the first line written at least one
// flush interval after the last batch, or one that fills BatchBytes, sends
// the batch while the main thread is awake anyway. Lines that no later
// arrival picks up (the stream stopped or slowed) go with a single-shot
// timer due two intervals after the last batch, which a stream arriving more
// often than once an interval never lets fire.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

class QTimer;
class TFileWriter;

class TDataLog : public QObject
{
    Q_OBJECT

public:
    // A batch this large goes to the writer at once.
    static constexpr qsizetype BatchBytes = 64 * 1024;

    explicit TDataLog(int flushMsec, QObject* parent = nullptr);
    ~TDataLog() override;

    // Starts a log to this file, after closing one still open: the backlog
    // first (the samples on screen, oldest first), then every sample given
    // to Write. The log counts as on until the writer reports a failure.
    void Open(const QString& fileName, const QList<double>& backlog = {});
    // Writes out what has gathered and closes the file on the writer's
    // thread; a failure on the way is still reported (ClosedLogFailed).
    void Close();
    bool IsLogging() const { return FLogFile != nullptr; }

    // One line, while the log is on: general format, at most 15 significant
    // digits, a full stop whatever the operator's locale, no grouping.
    void Write(double value);
    // Hands what has gathered to the writer.
    void Flush();

signals:
    // The open log stopped: its file could not be created (opened false)
    // or a write failed. It is off now.
    void Stopped(const QString& fileName, const QString& error, bool opened);
    // A log already closed failed while writing out its last lines.
    void ClosedLogFailed(const QString& fileName, const QString& error);

private:
    static void AppendLine(QByteArray& lines, double value);
    void WriterFailed(TFileWriter* writer, const QString& error, bool opened);

    // The open log's writer; it deletes itself once the file is closed.
    TFileWriter* FLogFile = nullptr;
    const int FFlushMsec;
    // Since the last batch went to the writer.
    QElapsedTimer FSinceFlush;
    QTimer* FFlushTimer;
    QByteArray FPending;
};
