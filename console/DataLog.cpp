// The data log: every scope sample as one line of a text file, while "save to
// file" is ticked. The log takes the samples from the scope's trace model as
// they arrive, whatever the chart draws. Lines go through the file's buffer,
// which is written out on the log's own timer (every LogFlush milliseconds of
// the environment's timings) and when the log closes. A failed write stops the
// log, closes the file, unticks the box and tells the operator; the console
// and its link run on.
#include "console/MainUnit.h"

#include "console/ConsoleLog.h"
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
    FLogFile = std::make_unique<QFile>(fileName);
    if (!FLogFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString error = FLogFile->errorString();
        qCWarning(VarnelConsoleLog).noquote()
            << "Data log" << QDir::toNativeSeparators(fileName) << "could not be created:" << error;
        FLogFile.reset();
        FSaveLogFile = false;
        SaveDataChartToFileCheckBox->setChecked(false);
        ReportToOperator(QStringLiteral("Data log"),
                         QStringLiteral("The data log \"%1\" could not be created: %2")
                             .arg(QDir::toNativeSeparators(fileName), error));
        return false;
    }
    FSaveLogFile = true;
    qCInfo(VarnelConsoleLog).noquote()
        << "Data log" << QDir::toNativeSeparators(fileName) << "opened";
    // The samples on screen first, oldest first.
    const QList<double> backlog = FScopeTrace->Values();
    for (double value : backlog) {
        if (!FSaveLogFile)
            break;
        WriteToLog(value);
    }
    if (FSaveLogFile)
        FlushLogFile();
    if (FSaveLogFile)
        FLogFlushTimer->start();
    return FSaveLogFile;
}

void TMainForm::CloseLogFile()
{
    FLogFlushTimer->stop();
    if (!FLogFile)
        return;
    const bool flushed = FLogFile->flush();
    const QString error = FLogFile->errorString();
    const QString fileName = FLogFile->fileName();
    FLogFile->close();
    FLogFile.reset();
    if (flushed)
        qCInfo(VarnelConsoleLog).noquote()
            << "Data log" << QDir::toNativeSeparators(fileName) << "closed";
    else
        qCWarning(VarnelConsoleLog).noquote() << "Data log" << QDir::toNativeSeparators(fileName)
                                              << "closed after a failed write:" << error;
    if (!flushed && !FDestroyed)
        ReportToOperator(QStringLiteral("Data log"), LogFailureText(fileName, error));
}

bool TMainForm::WriteLogLine(const QString& text)
{
    if (!FLogFile || !FLogFile->isWritable())
        return true;
    const QByteArray line = text.toLocal8Bit() + "\r\n";
    return FLogFile->write(line) == line.size();
}

void TMainForm::WriteToLog(double value)
{
    if (!FSaveLogFile)
        return;
    // General format, at most 15 significant digits, a full stop whatever
    // the operator's locale, no grouping.
    if (!WriteLogLine(QString::number(value, 'g', 15)))
        StopLogAfterFailure(FLogFile->errorString());
}

void TMainForm::FlushLogFile()
{
    if (FSaveLogFile && FLogFile && !FLogFile->flush())
        StopLogAfterFailure(FLogFile->errorString());
}

void TMainForm::StopLogAfterFailure(const QString& error)
{
    const QString fileName = FLogFile ? FLogFile->fileName() : QString();
    qCWarning(VarnelConsoleLog).noquote()
        << "Data log" << QDir::toNativeSeparators(fileName) << "stopped:" << error;
    FSaveLogFile = false;
    FLogFlushTimer->stop();
    if (FLogFile) {
        FLogFile->close();
        FLogFile.reset();
    }
    SaveDataChartToFileCheckBox->setChecked(false);
    // This may run inside a scope sample's handler, with the reader waiting
    // for it: the operator is told once the handler has returned.
    const QString text = LogFailureText(fileName, error);
    QTimer::singleShot(0, this,
                       [this, text] { ReportToOperator(QStringLiteral("Data log"), text); });
}

void TMainForm::SaveDataChartToFileCheckBoxClick()
{
    OpenLogFile(SaveDataChartToFileCheckBox->isChecked());
}
