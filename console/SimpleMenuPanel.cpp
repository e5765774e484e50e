// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/SimpleMenuPanel.h"

#include "ui_MainForm.h"

#include "console/StatusColors.h"
#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/PeakFacts.h"
#include "console/model/PeakTable.h"
#include "protocol/Messages.h"

#include <QEvent>
#include <QIcon>
#include <QPainter>
#include <QTimer>

TSimpleMenuPanel::TSimpleMenuPanel(Ui::TMainForm& ui, TConsoleSession& session, TTimers timers,
                                   QObject* parent)
    : QObject(parent), FUi(ui), FState(session.State()), FTimers(timers), FSession(session)
{
    TControllerState& state = session.State();
    BuildPngImageList();
    SetSimpleStatusPanelColor(FUi.SimpleStatusPanel->window()->palette().color(QPalette::Button));

    connect(ui.NextButton, &QPushButton::clicked, this, &TSimpleMenuPanel::NextButtonClick);
    connect(ui.BackButton, &QPushButton::clicked, this, &TSimpleMenuPanel::BackButtonClick);
    connect(ui.SimpleFPeakPngSpeedButton, &QToolButton::clicked, this,
            [this] { SimpleFPeakPngSpeedButtonClick(FUi.SimpleFPeakPngSpeedButton); });
    connect(ui.SimpleJPeakPngSpeedButton, &QToolButton::clicked, this,
            [this] { SimpleJPeakPngSpeedButtonClick(FUi.SimpleJPeakPngSpeedButton); });
    connect(timers.Blink, &QTimer::timeout, this, &TSimpleMenuPanel::BlinkTimerTimer);
    ui.SimpleMenuTabSheet->installEventFilter(this);

    connect(&state, &TControllerState::StatusChanged, this, &TSimpleMenuPanel::ShowStatus);
    // After a reconnect the same controller's last status stands again.
    connect(&state, &TControllerState::StatusRepeated, this, &TSimpleMenuPanel::ShowStatus);
    connect(&state, &TControllerState::ExpectedPeaksChanged, this,
            &TSimpleMenuPanel::PrepareSimpleMenu);
}

void TSimpleMenuPanel::ShowStatus(uint32_t code)
{
    if (code == StatusCode::Locked) {
        // The button that shows the locked peak goes down; when neither
        // shows it, both are up. Nothing is sent.
        const int32_t N = FState.PeakId();
        if (N >= 0) {
            FUi.SimpleFPeakPngSpeedButton->setChecked(N == SimpleMenuFirstPeakId);
            FUi.SimpleJPeakPngSpeedButton->setChecked(N != SimpleMenuFirstPeakId &&
                                                      N == SimpleMenuSecondPeakId);
        }
    }
    FUi.SimpleStatusPanel->setText(FState.ReportText());

    const QColor buttonFace = FUi.SimpleStatusPanel->window()->palette().color(QPalette::Button);
    switch (code) {
    case StatusCode::NotReady:
        FTimers.Blink->stop();
        FUi.SimpleFPeakPngSpeedButton->setEnabled(false);
        FUi.SimpleJPeakPngSpeedButton->setEnabled(false);
        SetSimpleStatusPanelColor(buttonFace);
        break;
    case StatusCode::Locked:
        FTimers.Blink->stop();
        SetSimpleStatusPanelColor(OkColor);
        break;
    case StatusCode::TuningError:
        FTimers.Blink->stop();
        SetSimpleStatusPanelColor(ErrorColor);
        break;
    case StatusCode::WaitForUser:
        FTimers.Blink->stop();
        FUi.SimpleFPeakPngSpeedButton->setEnabled(true);
        FUi.SimpleJPeakPngSpeedButton->setEnabled(true);
        FUi.SimpleFPeakPngSpeedButton->setChecked(false);
        FUi.SimpleJPeakPngSpeedButton->setChecked(false);
        SetSimpleStatusPanelColor(WaitForUserColor);
        break;
    default:
        FUi.SimpleStatusPanel->setText(QStringLiteral("wait for device"));
        // A running timer keeps its rhythm.
        if (!FTimers.Blink->isActive())
            FTimers.Blink->start();
        break;
    }
}

void TSimpleMenuPanel::ShowLinkLost()
{
    FTimers.Blink->stop();
    FUi.SimpleStatusPanel->setText(QStringLiteral("Connection error"));
    SetSimpleStatusPanelColor(FUi.SimpleStatusPanel->window()->palette().color(QPalette::Button));
    FUi.SimpleFPeakPngSpeedButton->setChecked(false);
    FUi.SimpleJPeakPngSpeedButton->setChecked(false);
    FUi.SimpleFPeakPngSpeedButton->setEnabled(true);
    FUi.SimpleJPeakPngSpeedButton->setEnabled(true);
}

void TSimpleMenuPanel::PrepareSimpleMenu()
{
    const int32_t FirstAvaiablePeakIndex = FState.Peaks().FirstAvaiablePeakIndex();
    const int32_t LastAvaiablePeakIndex = FState.Peaks().LastAvaiablePeakIndex();
    if (LastAvaiablePeakIndex >= JPeakIndex) {
        SimpleMenuFirstPeakId = PeakIdF;
        SimpleMenuSecondPeakId = PeakIdJ;
    } else {
        SimpleMenuSecondPeakId = PeakIdF;
        if (FirstAvaiablePeakIndex <= PeakIndexOfId(PeakIdC))
            SimpleMenuFirstPeakId = PeakIdC;
        else if (FirstAvaiablePeakIndex == PeakIndexOfId(PeakIdD))
            SimpleMenuFirstPeakId = PeakIdD;
        else
            SimpleMenuFirstPeakId = PeakIdE;
    }
    const auto setGlyph = [this](QToolButton* button, int32_t peakId) {
        if (peakId >= 1 && peakId <= PngImageList.size()) {
            button->setIcon(QIcon(PngImageList[peakId - 1]));
            button->update();
        }
    };
    setGlyph(FUi.SimpleFPeakPngSpeedButton, SimpleMenuFirstPeakId);
    setGlyph(FUi.SimpleJPeakPngSpeedButton, SimpleMenuSecondPeakId);
}

void TSimpleMenuPanel::BuildPngImageList()
{
    // Image N shows the letter of peak id N: a black, bold, lower-case letter
    // on a transparent background. The simple menu's buttons show peaks up
    // to j.
    PngImageList.clear();
    QFont glyphFont = FUi.SimpleMenuTabSheet->font();
    glyphFont.setBold(true);
    glyphFont.setPixelSize(64);
    for (int32_t id = 1; id <= PeakIdJ; ++id) {
        QPixmap glyph(76, 76);
        glyph.fill(Qt::transparent);
        QPainter painter(&glyph);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setFont(glyphFont);
        painter.setPen(Qt::black);
        painter.drawText(glyph.rect(), Qt::AlignCenter, QString(PeakLetter(id)));
        painter.end();
        PngImageList.append(glyph);
    }
}

// The two peak buttons are one group in which at most one is down and both
// may be up: a press puts an up button down and the other one up, and a
// press on a down button puts it up. Only a press that leaves the button
// down asks the controller for its peak.
void TSimpleMenuPanel::SimpleFPeakPngSpeedButtonClick(QObject* Sender)
{
    if (Sender != nullptr)
        PeakButtonPressed(FUi.SimpleFPeakPngSpeedButton, FUi.SimpleJPeakPngSpeedButton,
                          SimpleMenuFirstPeakId);
}

void TSimpleMenuPanel::SimpleJPeakPngSpeedButtonClick(QObject* Sender)
{
    if (Sender != nullptr)
        PeakButtonPressed(FUi.SimpleJPeakPngSpeedButton, FUi.SimpleFPeakPngSpeedButton,
                          SimpleMenuSecondPeakId);
}

void TSimpleMenuPanel::PeakButtonPressed(QToolButton* pressed, QToolButton* other, int32_t peakId)
{
    if (!pressed->isChecked())
        return;
    other->setChecked(false);
    if (peakId != -1)
        FSession.SelectPeak(peakId);
}

void TSimpleMenuPanel::NextButtonClick()
{
    FUi.PageControl->setCurrentWidget(FUi.MainTabSheet);
}

void TSimpleMenuPanel::BackButtonClick()
{
    FUi.PageControl->setCurrentWidget(FUi.SimpleMenuTabSheet);
}

void TSimpleMenuPanel::SimpleMenuTabSheetShow()
{
    FTimers.Connection->start();
}

void TSimpleMenuPanel::SimpleMenuTabSheetHide()
{
    FTimers.Connection->stop();
}

void TSimpleMenuPanel::BlinkTimerTimer()
{
    const QColor buttonFace = FUi.SimpleStatusPanel->window()->palette().color(QPalette::Button);
    SetSimpleStatusPanelColor(SimpleStatusPanelColor() == BusyBlinkColor ? buttonFace
                                                                         : BusyBlinkColor);
}

QColor TSimpleMenuPanel::SimpleStatusPanelColor() const
{
    return FUi.SimpleStatusPanel->palette().color(QPalette::Window);
}

void TSimpleMenuPanel::SetSimpleStatusPanelColor(const QColor& color)
{
    QPalette panelPalette = FUi.SimpleStatusPanel->palette();
    panelPalette.setColor(QPalette::Window, color);
    FUi.SimpleStatusPanel->setPalette(panelPalette);
}

bool TSimpleMenuPanel::eventFilter(QObject* watched, QEvent* event)
{
    // The page's own showing and hiding, by the page switches and the
    // window's show and close. Minimising and restoring the window reach the
    // page as spontaneous events and leave the connection timer running.
    if (watched == FUi.SimpleMenuTabSheet && !event->spontaneous()) {
        if (event->type() == QEvent::Show)
            SimpleMenuTabSheetShow();
        else if (event->type() == QEvent::Hide)
            SimpleMenuTabSheetHide();
    }
    return QObject::eventFilter(watched, event);
}
