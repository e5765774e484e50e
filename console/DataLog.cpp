// SPDX-License-Identifier: GPL-3.0-or-later
// The data log: every scope sample as one line of a text file, while "save to
// file" is ticked. The log takes the samples from the scope's trace model as
// they arrive, whatever the chart draws. The file is opened, written and
// closed by a writer on a thread of its own (FileWriter), so a pipe, a device,
// a full disk or a mount that stops answering never holds up the window: the
// lines gather on the main thread and go to the writer, in order, on the log's
// own timer (every LogFlush milliseconds of the environment's timings) and
// when the log closes. A file that cannot be created or a failed write stops
// the log, unticks the box and tells the operator; the console and its link
// run on.
#include "console/MainUnit.h"

#include "console/model/ConsoleLog.h"
#include "console/model/FileWriter.h"
#include "console/TraceModel.h"

#include <QDir>
#include <QTimer>

namespace {

QString LogFailureText(const QString& fileName, const QString& error)
{
    return QStringLiteral("The data log \"%1\" has stopped: %2\n\nThe lines written before "
                          "the failure are in the file.")
        .arg(QDir::toNativeSeparators(fileName), error);
}

} // namespace

QString TMainForm::AskForSaveFileName(const QString& proposedName, const QString& filter,
                                      const QString& defaultSuffix)
{
    return FEnvironment.AskSaveFileName(this, proposedName, filter, defaultSuffix);
}

void TMainForm::ReportToOperator(const QString& title, const QString& text)
{
    FEnvironment.ReportToOperator(this, title, text);
}

void TMainForm::SetupDataLog()
{
    connect(FScopeTrace, &TTraceModel::SampleAdded, this, &TMainForm::WriteToLog);
    FLogFlushTimer = new QTimer(this);
    FLogFlushTimer->setInterval(FEnvironment.Timings.LogFlush);
    connect(FLogFlushTimer, &QTimer::timeout, this, &TMainForm::FlushLogFile);
}

bool TMainForm::OpenLogFile(bool on)
{
    if (!on) {
        CloseLogFile();
        FSaveLogFile = false;
        return false;
    }

    const QString fileName = AskForSaveFileName(
        QStringLiteral("Log_"), QStringLiteral("Log File (*.txt)"), QStringLiteral("txt"));
    if (fileName.isEmpty()) {
        // Nothing is logged, and the box says so.
        CloseLogFile();
        FSaveLogFile = false;
        SaveDataChartToFileCheckBox->setChecked(false);
        return false;
    }

    CloseLogFile();
    // The writer creates the file on its own thread; until it reports a
    // failure the log counts as on, and what is written meanwhile waits for
    // the file in order.
    auto* writer = new TFileWriter(fileName, this);
    connect(writer, &TFileWriter::Failed, this, [this, writer](const QString& error, bool opened) {
        LogWriterFailed(writer, error, opened);
    });
    connect(writer, &TFileWriter::Finished, writer, &QObject::deleteLater);
    FLogFile = writer;
    FSaveLogFile = true;
    qCInfo(VarnelConsoleLog).noquote()
        << "Data log" << QDir::toNativeSeparators(fileName) << "started";
    // The samples on screen first, oldest first.
    const QList<double> backlog = FScopeTrace->Values();
    for (double value : backlog)
        WriteToLog(value);
    FlushLogFile();
    FLogFlushTimer->start();
    return FSaveLogFile;
}

void TMainForm::CloseLogFile()
{
    FLogFlushTimer->stop();
    if (!FLogFile)
        return;
    // The writer writes out what it was given and closes the file on its
    // thread; a failure it meets on the way is still reported
    // (LogWriterFailed), and the window's closing waits for it.
    FlushLogFile();
    FLogFile->Close();
    qCInfo(VarnelConsoleLog).noquote()
        << "Data log" << QDir::toNativeSeparators(FLogFile->FileName()) << "closed";
    FLogFile = nullptr;
    FLogPending.clear();
}

bool TMainForm::WriteLogLine(const QString& text)
{
    if (!FLogFile)
        return true;
    FLogPending.append(text.toLocal8Bit());
    FLogPending.append("\r\n");
    return true;
}

void TMainForm::WriteToLog(double value)
{
    if (!FSaveLogFile)
        return;
    // General format, at most 15 significant digits, a full stop whatever
    // the operator's locale, no grouping.
    WriteLogLine(QString::number(value, 'g', 15));
}

void TMainForm::FlushLogFile()
{
    if (!FLogFile || FLogPending.isEmpty())
        return;
    FLogFile->Write(FLogPending);
    FLogFile->Flush();
    FLogPending.clear();
}

void TMainForm::LogWriterFailed(TFileWriter* writer, const QString& error, bool opened)
{
    const QString fileName = QDir::toNativeSeparators(writer->FileName());
    if (writer != FLogFile) {
        // A log already closed by the operator failed while writing out its
        // last lines.
        if (!FDestroyed)
            ReportToOperator(QStringLiteral("Data log"), LogFailureText(writer->FileName(), error));
        return;
    }
    qCWarning(VarnelConsoleLog).noquote()
        << "Data log" << fileName << (opened ? "stopped:" : "could not be created:") << error;
    FSaveLogFile = false;
    FLogFlushTimer->stop();
    FLogFile->Close();
    FLogFile = nullptr;
    FLogPending.clear();
    SaveDataChartToFileCheckBox->setChecked(false);
    ReportToOperator(
        QStringLiteral("Data log"),
        opened
            ? LogFailureText(writer->FileName(), error)
            : QStringLiteral("The data log \"%1\" could not be created: %2").arg(fileName, error));
}

void TMainForm::SaveDataChartToFileCheckBoxClick()
{
    OpenLogFile(SaveDataChartToFileCheckBox->isChecked());
}
