// SPDX-License-Identifier: GPL-3.0-or-later
// Lock supervision in the window: the simple menu's "keep locked" box (with
// what supervision has to say beside it) and its lock-health line, and the
// alarm on the status panel. The session feeds the supervision and sends
// its relocks; the panel shows it and turns the box into the session's
// SetKeepLocked.
#pragma once

#include <QColor>
#include <QObject>
#include <QString>

#include <functional>

class QCheckBox;
class QLabel;
class QTimer;
class TConsoleSession;
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

    TLockSupervisionPanel(TControls controls, TConsoleSession& session, QObject* parent = nullptr);

    // Ticks or clears the box, as the operator does.
    void SetKeepLocked(bool on);

private:
    void ShowAlarm();
    void ShowHealth();
    // What supervision has to say (paused, controller not ready, ...) goes
    // beside the box, after its own text.
    void ShowNotice();

    TControls FControls;
    TConsoleSession& FSession;
    const TLockSupervision& FSupervision;
    QString FAlarm;
    QString FKeepLockedText;
};
