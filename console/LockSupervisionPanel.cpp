// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/LockSupervisionPanel.h"

#include "console/StatusColors.h"
#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/LockSupervision.h"

#include <QCheckBox>
#include <QLabel>
#include <QTimer>

namespace {

// The early warning's colour: the stabilisation mirror is running out of
// range.
const QColor AmberColor(0xFF, 0xBF, 0x00);

} // namespace

TLockSupervisionPanel::TLockSupervisionPanel(TControls controls, TConsoleSession& session,
                                             QObject* parent)
    : QObject(parent), FControls(std::move(controls)), FSession(session),
      FSupervision(session.Supervision())
{
    const TLockSupervision& supervision = FSupervision;
    FControls.KeepLocked->setChecked(session.KeepLocked());
    connect(FControls.KeepLocked, &QCheckBox::toggled, this,
            [this](bool on) { FSession.SetKeepLocked(on); });

    // The alarm stands over whatever status shows beneath it.
    connect(&session.State(), &TControllerState::StatusChanged, this, [this] {
        if (!FAlarm.isEmpty())
            ShowAlarm();
    });
    connect(&session.State(), &TControllerState::StatusRepeated, this, [this] {
        if (!FAlarm.isEmpty())
            ShowAlarm();
    });
    connect(&session, &TConsoleSession::AlarmChanged, this, [this](const QString& text) {
        FAlarm = text;
        if (!FAlarm.isEmpty()) {
            ShowAlarm();
            FControls.PlayAlarm();
        }
    });
    connect(&supervision, &TLockSupervision::Changed, this, [this] {
        ShowHealth();
        ShowNotice();
    });
    connect(&supervision, &TLockSupervision::HeadroomWarningChanged, this,
            &TLockSupervisionPanel::ShowHealth);
    FControls.Health->setAutoFillBackground(true);
    FKeepLockedText = FControls.KeepLocked->text();
    ShowHealth();
    ShowNotice();
}

void TLockSupervisionPanel::ShowNotice()
{
    const QString& notice = FSupervision.Notice();
    FControls.KeepLocked->setText(
        notice.isEmpty() ? FKeepLockedText : FKeepLockedText + QStringLiteral(" - ") + notice);
}

void TLockSupervisionPanel::SetKeepLocked(bool on)
{
    FControls.KeepLocked->setChecked(on);
    FSession.SetKeepLocked(on);
}

void TLockSupervisionPanel::ShowAlarm()
{
    FControls.Blink->stop();
    FControls.StatusPanel->setText(FAlarm);
    FControls.SetStatusPanelColor(ErrorColor);
}

void TLockSupervisionPanel::ShowHealth()
{
    QLabel* label = FControls.Health;
    label->setText(FSession.Connected() ? FSupervision.Summary() : QString());
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window,
                     FSupervision.Health().HeadroomWarning()
                         ? AmberColor
                         : label->parentWidget()->palette().color(QPalette::Window));
    label->setPalette(palette);
}
