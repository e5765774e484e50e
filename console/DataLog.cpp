// SPDX-License-Identifier: GPL-3.0-or-later
// The data log's box: "save to file" asks for a file and starts the
// session's data log (TDataLog), which takes every scope sample from the
// controller's state, beside the chart. A file that cannot be created or a failed write
// stops the log, unticks the box and tells the operator; the console and its
// link run on.
#include "console/MainUnit.h"

#include "console/model/ConsoleSession.h"
#include "console/model/DataLog.h"
#include "console/model/TraceBuffer.h"

#include <QDir>

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

bool TMainForm::IsLogging() const
{
    return FSession->IsLogging();
}

void TMainForm::SetupDataLog()
{
    const TDataLog& log = FSession->DataLog();
    connect(&log, &TDataLog::Stopped, this,
            [this](const QString& fileName, const QString& error, bool opened) {
                SaveDataChartToFileCheckBox->setChecked(false);
                ReportToOperator(QStringLiteral("Data log"),
                                 opened ? LogFailureText(fileName, error)
                                        : QStringLiteral("The data log \"%1\" could not be "
                                                         "created: %2")
                                              .arg(QDir::toNativeSeparators(fileName), error));
            });
    connect(&log, &TDataLog::ClosedLogFailed, this,
            [this](const QString& fileName, const QString& error) {
                if (!FDestroyed)
                    ReportToOperator(QStringLiteral("Data log"), LogFailureText(fileName, error));
            });
}

void TMainForm::SaveDataChartToFileCheckBoxClick()
{
    if (!SaveDataChartToFileCheckBox->isChecked()) {
        FSession->StopLog();
        return;
    }
    const QString fileName = AskForSaveFileName(
        QStringLiteral("Log_"), QStringLiteral("Log File (*.txt)"), QStringLiteral("txt"));
    if (fileName.isEmpty()) {
        // Nothing is logged, and the box says so.
        FSession->StopLog();
        SaveDataChartToFileCheckBox->setChecked(false);
        return;
    }
    // The samples on screen first, oldest first.
    FSession->StartLog(fileName, FState->ScopeTrace().Values());
}
