// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/DataLog.h"

#include "console/model/ConsoleLog.h"
#include "console/model/FileWriter.h"

#include <QDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

TDataLog::TDataLog(int flushMsec, QObject* parent)
    : QObject(parent), FFlushMsec(std::max(flushMsec, 0)), FFlushTimer(new QTimer(this))
{
    FFlushTimer->setSingleShot(true);
    connect(FFlushTimer, &QTimer::timeout, this, &TDataLog::Flush);
}

TDataLog::~TDataLog()
{
    Close();
}

void TDataLog::Open(const QString& fileName, const QList<double>& backlog)
{
    Close();
    // The writer creates the file on its own thread; until it reports a
    // failure the log counts as on, and what is written meanwhile waits for
    // the file in order.
    auto* writer = new TFileWriter(fileName, this);
    connect(writer, &TFileWriter::Failed, this, [this, writer](const QString& error, bool opened) {
        WriterFailed(writer, error, opened);
    });
    connect(writer, &TFileWriter::Finished, writer, &QObject::deleteLater);
    FLogFile = writer;
    qCInfo(VarnelConsoleLog).noquote()
        << "Data log" << QDir::toNativeSeparators(fileName) << "started";
    for (double value : backlog)
        AppendLine(FPending, value);
    Flush();
}

void TDataLog::Close()
{
    FFlushTimer->stop();
    if (!FLogFile)
        return;
    Flush();
    FLogFile->Close();
    qCInfo(VarnelConsoleLog).noquote()
        << "Data log" << QDir::toNativeSeparators(FLogFile->FileName()) << "closed";
    FLogFile = nullptr;
    FPending.clear();
}

void TDataLog::Write(double value)
{
    if (!FLogFile)
        return;
    AppendLine(FPending, value);
    const qint64 elapsed = FSinceFlush.elapsed();
    if (elapsed >= FFlushMsec || FPending.size() >= BatchBytes) {
        Flush();
        return;
    }
    if (!FFlushTimer->isActive())
        FFlushTimer->start(static_cast<int>(2 * qint64{FFlushMsec} - elapsed));
}

void TDataLog::AppendLine(QByteArray& lines, double value)
{
    // Samples are whole numbers, and below 10^15 the general form of a whole
    // number is its digits: those are written straight, without the cost of
    // formatting a float for every sample (a negative zero is "0" either
    // way). Anything else (a fraction, a huge value, NaN) takes the general
    // form.
    constexpr double wholeDigitsBelow = 1e15;
    if (value == std::trunc(value) && std::abs(value) < wholeDigitsBelow) {
        // Room for any 64-bit integer.
        std::array<char, 24> digits{};
        const char* end =
            std::to_chars(digits.data(), digits.data() + digits.size(), static_cast<qint64>(value))
                .ptr;
        lines.append(digits.data(), end - digits.data());
    } else {
        lines.append(QString::number(value, 'g', 15).toLocal8Bit());
    }
    lines.append("\r\n");
}

void TDataLog::Flush()
{
    FFlushTimer->stop();
    FSinceFlush.start();
    if (!FLogFile || FPending.isEmpty())
        return;
    FLogFile->WriteOut(FPending);
    FPending.clear();
}

void TDataLog::WriterFailed(TFileWriter* writer, const QString& error, bool opened)
{
    const QString fileName = writer->FileName();
    if (writer != FLogFile) {
        emit ClosedLogFailed(fileName, error);
        return;
    }
    qCWarning(VarnelConsoleLog).noquote()
        << "Data log" << QDir::toNativeSeparators(fileName)
        << (opened ? "stopped:" : "could not be created:") << error;
    FFlushTimer->stop();
    FLogFile->Close();
    FLogFile = nullptr;
    FPending.clear();
    emit Stopped(fileName, error, opened);
}
