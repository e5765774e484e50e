// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/LockSupervisionPanel.h"

#include "console/StatusColors.h"
#include "console/model/ControllerState.h"
#include "console/model/DeviceSession.h"
#include "console/model/LockSupervision.h"
#include "protocol/Frames.h"
#include "protocol/Messages.h"

#include <QCheckBox>
#include <QLabel>
#include <QTimer>

namespace {

// The early warning's colour: the stabilisation mirror is running out of
// range.
const QColor AmberColor(0xFF, 0xBF, 0x00);

} // namespace

TLockSupervisionPanel::TLockSupervisionPanel(TControls controls, TLockSupervision& supervision,
                                             TControllerState& state, TDeviceSession& session,
                                             QObject* parent)
    : QObject(parent), FControls(std::move(controls)), FSupervision(supervision), FSession(session)
{
    FControls.KeepLocked->setChecked(supervision.KeepLocked());
    connect(FControls.KeepLocked, &QCheckBox::toggled, this,
            [this](bool on) { FSupervision.SetKeepLocked(on); });

    // What the controller says, as it says it; the lock report's peak right
    // after the lock.
    connect(&state, &TControllerState::StatusChanged, this, [this, &state](uint32_t code) {
        FSupervision.Status(code);
        if (code == StatusCode::Locked)
            FSupervision.LockReported(state.PeakId());
        // The alarm stands over whatever status shows beneath it.
        if (!FAlarm.isEmpty())
            ShowAlarm();
    });
    connect(&state, &TControllerState::StatusRepeated, this, [this] {
        if (!FAlarm.isEmpty())
            ShowAlarm();
    });
    connect(&state, &TControllerState::StabilizationMirrorChanged, this,
            [this](uint32_t position) { FSupervision.StabilizationMirror(position); });
    connect(&state, &TControllerState::ScopeSample, this, [this](double value) {
        FSupervision.ScopeSample(static_cast<uint32_t>(static_cast<int32_t>(value)));
    });
    connect(&session, &TDeviceSession::Opened, this, [this, &state] {
        const TConsoleFacts& facts = state.LockHistory().Facts();
        FSupervision.LinkUp(facts.Device, facts.DeviceSerialNumber);
        // The same controller says nothing of a lock that held while the
        // link was away: what it said last is shown again.
        state.RepeatStatus();
    });
    connect(&session, &TDeviceSession::LinkClosed, this, [this] { FSupervision.LinkDown(); });
    connect(&session, &TDeviceSession::Disconnected, this, [this] { FSupervision.LinkDown(); });

    connect(&supervision, &TLockSupervision::SendTuningTarget, this, [this](int peakId) {
        if (FSession.Connected())
            FSession.Send(TCommandId::TuningTarget, OneBytePayload(peakId));
    });
    connect(&supervision, &TLockSupervision::AlarmChanged, this,
            [this, &state](const QString& text) {
                FAlarm = text;
                if (!FAlarm.isEmpty()) {
                    ShowAlarm();
                    FControls.PlayAlarm();
                } else {
                    // Over: the status beneath it shows again.
                    state.RepeatStatus();
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
    FSupervision.SetKeepLocked(on);
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
