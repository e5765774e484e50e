// SPDX-License-Identifier: GPL-3.0-or-later
// Lock supervision in the window: the simple menu's "keep locked" box (with
// what supervision has to say beside it) and its lock-health line, the alarm
// on the status panel, and the feeding of the supervision from the
// controller's state and the device session. The
// supervisor's own relock goes to the session directly: it is not the
// operator's and does not count as an operator action.
#pragma once

#include <QColor>
#include <QObject>
#include <QString>

#include <functional>

class QCheckBox;
class QLabel;
class QTimer;
class TControllerState;
class TDeviceSession;
class TLockSupervision;

class TLockSupervisionPanel : public QObject
{
    Q_OBJECT

public:
    struct TControls
    {
        QCheckBox* KeepLocked;
        QLabel* Health;
        QLabel* StatusPanel;
        QTimer* Blink;
        std::function<void(const QColor&)> SetStatusPanelColor;
        std::function<void()> PlayAlarm;
    };

    TLockSupervisionPanel(TControls controls, TLockSupervision& supervision,
                          TControllerState& state, TDeviceSession& session,
                          QObject* parent = nullptr);

    // Ticks or clears the box, as the operator does.
    void SetKeepLocked(bool on);

private:
    void ShowAlarm();
    void ShowHealth();
    // What supervision has to say (paused, controller not ready, ...) goes
    // beside the box, after its own text.
    void ShowNotice();

    TControls FControls;
    TLockSupervision& FSupervision;
    TDeviceSession& FSession;
    QString FAlarm;
    QString FKeepLockedText;
};
