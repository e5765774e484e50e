// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/DataLog.h"

#include "console/model/ConsoleLog.h"
#include "console/model/FileWriter.h"

#include <QDir>
#include <QTimer>

TDataLog::TDataLog(int flushMsec, QObject* parent) : QObject(parent), FFlushTimer(new QTimer(this))
{
    FFlushTimer->setInterval(flushMsec);
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
        Write(value);
    Flush();
    FFlushTimer->start();
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
    FPending.append(QString::number(value, 'g', 15).toLocal8Bit());
    FPending.append("\r\n");
}

void TDataLog::Flush()
{
    if (!FLogFile || FPending.isEmpty())
        return;
    FLogFile->Write(FPending);
    FLogFile->Flush();
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
