// SPDX-License-Identifier: GPL-3.0-or-later
// The simple-menu page: two latching peak buttons showing the letters of the
// peaks the controller can reach, the status panel with its colours and its
// blinking while the controller works, the page switches, and the
// connection timer that runs while the page shows.
#pragma once

#include "protocol/SendFrameUnit.h"

#include <QColor>
#include <QList>
#include <QObject>
#include <QPixmap>

#include <cstdint>
#include <functional>

namespace Ui {
class TMainForm;
}
class QTimer;
class QToolButton;
class TControllerState;
class TConsoleSession;

class TSimpleMenuPanel : public QObject
{
    Q_OBJECT

public:
    struct TTimers
    {
        // Runs while the page shows (the automatic connect's steps).
        QTimer* Connection;
        // Blinks the status panel while the controller works.
        QTimer* Blink;
    };

    TSimpleMenuPanel(Ui::TMainForm& ui, TConsoleSession& session, TTimers timers,
                     QObject* parent = nullptr);

    // The peaks of the two buttons (-1: none yet), and their letters.
    int32_t SimpleMenuFirstPeakId = -1;
    int32_t SimpleMenuSecondPeakId = -1;
    QList<QPixmap> PngImageList;

    // Chooses the buttons' peaks from the reachable range.
    void PrepareSimpleMenu();
    void BuildPngImageList();

    // The controls' actions, as a click runs them.
    void SimpleFPeakPngSpeedButtonClick(QObject* Sender);
    void SimpleJPeakPngSpeedButtonClick(QObject* Sender);
    void NextButtonClick();
    void BackButtonClick();
    void SimpleMenuTabSheetShow();
    void SimpleMenuTabSheetHide();
    void BlinkTimerTimer();

    QColor SimpleStatusPanelColor() const;
    void SetSimpleStatusPanelColor(const QColor& color);

    // What a link closed under the console leaves: nothing of the last
    // status or lock, the buttons as at start.
    void ShowLinkLost();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowStatus(uint32_t code);
    // A press of one peak button: down, it puts the other up and asks for
    // its peak.
    void PeakButtonPressed(QToolButton* pressed, QToolButton* other, int32_t peakId);

    Ui::TMainForm& FUi;
    TControllerState& FState;
    TTimers FTimers;
    TConsoleSession& FSession;
};
