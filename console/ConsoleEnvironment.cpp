// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/ConsoleEnvironment.h"

#include "console/model/LockHistory.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {

QString AskWithFileDialog(QWidget* parent, const QString& proposedName, const QString& filter,
                          const QString& defaultSuffix)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!filter.isEmpty())
        dialog.setNameFilter(filter);
    if (!defaultSuffix.isEmpty())
        dialog.setDefaultSuffix(defaultSuffix);
    if (!proposedName.isEmpty())
        dialog.selectFile(proposedName);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

void ReportInMessageBox(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::critical(parent, title, text);
}

} // namespace

TConsoleEnvironment TConsoleEnvironment::Default()
{
    TConsoleEnvironment environment;
    environment.AskSaveFileName = AskWithFileDialog;
    environment.ReportToOperator = ReportInMessageBox;
    environment.PlaySound = PlayDesktopSound;
    environment.SoundClock = SteadyClockMsec;
    environment.Journal = SystemJournalSink();
    return environment;
}

TConsoleSessionSettings TConsoleEnvironment::SessionSettings() const
{
    TConsoleSessionSettings settings;
    settings.Device.AutoConnectPause = Timings.AutoConnectPause;
    settings.Device.TuningEnablePause = Timings.TuningEnablePause;
    settings.Device.SearchOnOwnThread = SearchOnOwnThread;
    settings.ChartRefreshMsec = Timings.ChartRefresh;
    settings.LogFlushMsec = Timings.LogFlush;
    settings.Journal = Journal;
    return settings;
}
