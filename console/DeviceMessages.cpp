// SPDX-License-Identifier: GPL-3.0-or-later
// The controller's status, lock, peak and live-display messages as the
// window shows them: the reader delivers them to the controller's state, on
// the main thread, one at a time, in the order the frames came, and the
// views follow the state's signals.
#include "console/MainUnit.h"

#include "console/SystemSounds.h"
#include "console/model/PeakTable.h"
#include "protocol/Messages.h"

#include <QTimer>

void TMainForm::ShowState()
{
    TControllerState* state = FState;
    connect(state, &TControllerState::StatusChanged, this,
            [this, state] { StatusLabel->setText(state->StatusText()); });
    connect(state, &TControllerState::TuningMirrorChanged, this, [this](uint32_t position) {
        TuningMirrorALProgressBar->setPosition(static_cast<int>(position));
    });
    connect(state, &TControllerState::StabilizationMirrorChanged, this, [this](uint32_t position) {
        StabilizationMirrorALProgressBar->setPosition(static_cast<int>(position));
    });
    connect(state, &TControllerState::DeviceEvent, this, [this, state](uint32_t kind, uint32_t id) {
        switch (kind) {
        case EventKind::Peak:
            PeakLabel->setText(state->Peaks().PeakName(id));
            FSounds->Play(_snd_default_alert);
            break;
        case EventKind::Notice:
            FSounds->Play(_snd_default_alert);
            break;
        case EventKind::CriticalStop:
            FSounds->Play(_snd_critical_stop);
            break;
        default:
            break;
        }
    });
    connect(state, &TControllerState::CFTChanged, this,
            [this](uint32_t tenths) { CFTValueLabel->setText(TControllerState::CFTText(tenths)); });
    connect(state, &TControllerState::PeakIdChanged, this,
            [this](int32_t peakId) { PeakIdLabel->setText(QString::number(peakId)); });
    connect(state, &TControllerState::WorkingTimeChanged, this, [this](uint32_t minutes) {
        LifetimeLabel->setText(TControllerState::WorkingTimeText(minutes));
    });
    connect(state, &TControllerState::CRCErrorsChanged, this,
            [this](uint32_t count) { CRCErrorsLabel->setText(QString::number(count)); });
}
