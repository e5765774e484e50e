// SPDX-License-Identifier: GPL-3.0-or-later
// The window's start and stop, the display reset, the logo, and the wiring
// of the controls to their handlers.
#include "console/MainUnit.h"

#include "console/DevicePanel.h"
#include "console/LockSupervisionPanel.h"
#include "console/PeakPanel.h"
#include "console/ScopePanel.h"
#include "console/ServicePanel.h"
#include "console/ServicePasswordUnit.h"
#include "console/SimpleMenuPanel.h"
#include "console/model/ConsoleSession.h"
#include "console/model/DataLog.h"
#include "console/model/DeviceSession.h"
#include "console/model/LockHistory.h"
#include "console/model/LockSupervision.h"
#include "console/model/PeakFacts.h"
#include "console/publish/StatusService.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QStringList>
#include <QSvgRenderer>
#include <QTabBar>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <utility>

namespace {

QPixmap RenderPicture(const QString& resource, QSize size)
{
    QSvgRenderer renderer(resource);
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    if (renderer.isValid()) {
        QSize target = renderer.defaultSize().scaled(size, Qt::KeepAspectRatio);
        QPainter painter(&pixmap);
        renderer.render(&painter, QRectF(QPointF((size.width() - target.width()) / 2.0,
                                                 (size.height() - target.height()) / 2.0),
                                         target));
    }
    return pixmap;
}

// The widget that a key press goes to first: the keyboard grabber, else the
// open pop-up's focus widget, else the focus widget of the active window.
// Without any of them, the active window itself.
QWidget* KeyPressReceiver()
{
    if (QWidget* grabber = QWidget::keyboardGrabber())
        return grabber;
    if (QWidget* popup = QApplication::activePopupWidget())
        return popup->focusWidget() ? popup->focusWidget() : popup;
    if (QWidget* focus = QApplication::focusWidget())
        return focus;
    return QApplication::activeWindow();
}

// The window a widget belongs to; a pop-up belongs to the window of the
// control that opened it.
QWidget* WindowOwning(QWidget* widget)
{
    QWidget* window = widget->window();
    while (window->windowType() == Qt::Popup && window->parentWidget())
        window = window->parentWidget()->window();
    return window;
}

} // namespace

TMainForm::TMainForm(TConsoleEnvironment environment, QWidget* parent)
    : TMainForm(nullptr, std::move(environment), parent)
{
}

TMainForm::TMainForm(TConsoleSession& session, TConsoleEnvironment environment, QWidget* parent)
    : TMainForm(&session, std::move(environment), parent)
{
}

TMainForm::TMainForm(TConsoleSession* session, TConsoleEnvironment environment, QWidget* parent)
    : QWidget(parent), FEnvironment(std::move(environment)),
      FSounds(std::make_unique<TSystemSounds>(FEnvironment.PlaySound, FEnvironment.SoundClock))
{
    if (!session) {
        FOwnSession = std::make_unique<TConsoleSession>(FEnvironment.SessionSettings());
        session = FOwnSession.get();
    }
    FSession = session;
    FState = &session->State();
    setupUi(this);

    // One fixed-size window with system menu, minimise and close only.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    // The controls keep the designed layout on a content widget; the window
    // shows it through a scroll area that needs no scroll bars where the
    // screen has room, and lets every control be reached where it has not.
    FWindowContent = new QWidget;
    FWindowContent->setObjectName(QStringLiteral("WindowContent"));
    for (QWidget* part :
         {static_cast<QWidget*>(PageControl), static_cast<QWidget*>(ServicePanel)}) {
        const QRect designed = part->geometry();
        part->setParent(FWindowContent);
        part->setGeometry(designed);
        part->show();
    }
    FWindowScroll = new QScrollArea(this);
    FWindowScroll->setObjectName(QStringLiteral("WindowScrollArea"));
    FWindowScroll->setFrameShape(QFrame::NoFrame);
    FWindowScroll->setWidgetResizable(false);
    FWindowScroll->setWidget(FWindowContent);
    auto* windowLayout = new QVBoxLayout(this);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->addWidget(FWindowScroll);
    SetDesignSize(QSize(1133, 691));

    ConnectionTimer = new QTimer(this);
    ConnectionTimer->setObjectName(QStringLiteral("ConnectionTimer"));
    ConnectionTimer->setInterval(FEnvironment.Timings.ConnectionTick);
    BlinkTimer = new QTimer(this);
    BlinkTimer->setObjectName(QStringLiteral("BlinkTimer"));
    BlinkTimer->setInterval(500);

    LogoImage->setPixmap(RenderPicture(QStringLiteral(":/pictures/logo.svg"), LogoImage->size()));
    CFTImage->setPixmap(RenderPicture(QStringLiteral(":/pictures/thermometer.svg"), QSize(76, 72)));

    // The window and its panels follow the session's state and call its
    // methods.
    FSimpleMenu = new TSimpleMenuPanel(*this, *FSession, {ConnectionTimer, BlinkTimer}, this);
    FPeakPanel = new TPeakPanel(*this, *FSession, this);
    FScopePanel = new TScopePanel(
        {Chart, SaveChartButton, ScopeScaleComboBox, HarmonicComboBox}, *FSession,
        {[this] { return AskForSaveFileName(QString(), QString(), QString()); },
         [this](const QString& title, const QString& text) { ReportToOperator(title, text); }},
        this);
    DataSeries = FScopePanel->DataSeries();
    FServicePanelView =
        new TServicePanel(*this, *FSession, FEnvironment.Timings.ChartRefresh, this);
    ServiceSeries = FServicePanelView->Series();
    connect(FServicePanelView, &TServicePanel::Hidden, this,
            [this] { SetOuterWidth(PageControl->width() + 12); });
    SetupDataLog();
    ConnectSignals();
    ShowState();

    FormCreate();
}

TMainForm::~TMainForm()
{
    FormDestroy();
}

QString TMainForm::DocumentationUrl()
{
    const QString path = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                         QStringLiteral(VARNEL_DOCUMENTATION_PATH);
    return QUrl::fromLocalFile(QDir::cleanPath(path)).toString();
}

void TMainForm::FormCreate()
{
    ServicePanel->hide();
    FServicePassword = std::make_unique<TServicePassword>();
    PageControl->tabBar()->hide();
    PageControl->setCurrentWidget(SimpleMenuTabSheet);
    setWindowTitle(QStringLiteral("Varnel v." VARNEL_VERSION));
    FDevicePanel = std::make_unique<TDevicePanel>(*this, *FSession);
    connect(ConnectionTimer, &QTimer::timeout, FDevicePanel.get(),
            &TDevicePanel::ConnectionTimerTimer);
    connect(FSession, &TConsoleSession::Opened, this, [this] {
        ResetDisplays();
        ScopeScaleComboBox->setEnabled(true);
    });
    connect(&FSession->Device(), &TDeviceSession::ConnectFailed, this,
            [this] { StartButton->setEnabled(false); });
    connect(FSession, &TConsoleSession::LinkClosed, this, [this] {
        // Nothing of the last status or lock is left standing.
        ResetDisplays();
        FSimpleMenu->ShowLinkLost();
    });
    connect(FSession, &TConsoleSession::Disconnected, this, &TMainForm::ResetDisplays);
    // Lock supervision: "keep locked", the health line and the alarm.
    FLockSupervisionPanel = new TLockSupervisionPanel(
        {KeepLockedCheckBox, LockHealthLabel, SimpleStatusPanel, BlinkTimer,
         [this](const QColor& color) { FSimpleMenu->SetSimpleStatusPanelColor(color); },
         [this] { FSounds->Play(_snd_critical_stop); }},
        *FSession, this);
    // Service staff at work: supervision pauses while the panel is open.
    connect(FServicePanelView, &TServicePanel::OpenChanged, FSession,
            &TConsoleSession::SetServiceOpen);
    SearchUrzadzenButtonClick();
    ResetDisplays();
}

void TMainForm::SetKeepLocked(bool on)
{
    FLockSupervisionPanel->SetKeepLocked(on);
}

void TMainForm::FormDestroy()
{
    if (FDestroyed)
        return;
    FDestroyed = true;
    ConnectionTimer->stop();
    BlinkTimer->stop();
    // The window's close ends the console: the search ends, the reader
    // stops, the messages it delivered in its last pass run while this
    // window still exists, the link closes and the data log is written out.
    FSession->Close();
    QThread::msleep(100);
    FServicePassword.reset();
}

bool TMainForm::SearchRunning() const
{
    return FSession->Device().Searching();
}

void TMainForm::SearchUrzadzenButtonClick()
{
    FDevicePanel->SearchUrzadzenButtonClick();
}

void TMainForm::ConnectButtonClick()
{
    FDevicePanel->ConnectButtonClick();
}

void TMainForm::DisconnectButtonClick()
{
    FDevicePanel->DisconnectButtonClick();
}

void TMainForm::ConnectionTimerTimer()
{
    FDevicePanel->ConnectionTimerTimer();
}

void TMainForm::ResetDisplays()
{
    LockButton->hide();
    StartButton->setEnabled(FSession->Connected());
    CFTValueLabel->setText(QStringLiteral("0"));
    LifetimeLabel->setText(QStringLiteral("00:00"));
    PeakListBox->clear();
    ScopeScaleComboBox->setEnabled(false);
    PeakLabel->setText(QStringLiteral("--"));
}

void TMainForm::LogoImageClick()
{
    QDesktopServices::openUrl(QUrl(DocumentationUrl()));
}

void TMainForm::ConnectSignals()
{
    connect(SaveDataChartToFileCheckBox, &QCheckBox::clicked, this,
            &TMainForm::SaveDataChartToFileCheckBoxClick);

    LogoImage->installEventFilter(this);
    // Typed characters reach the access-code recogniser before the focused
    // control, which still receives them.
    qApp->installEventFilter(this);
}

void TMainForm::FormKeyPress(QChar key)
{
    if (!FServicePassword || !FServicePassword->IsPasswordOK(key))
        return;
    SetOuterWidth(PageControl->width() + ServicePanel->width() + 18);
    // Docked to the right edge, over the full client height.
    ServicePanel->setGeometry(FDesignSize.width() - ServicePanel->width(), 0, ServicePanel->width(),
                              FDesignSize.height());
    ServicePanel->show();
    ServicePanel->raise();
}

void TMainForm::SetOuterWidth(int outerWidth)
{
    // The window is fixed-size; its frame, when it has one, takes the
    // difference between the outer and the client width. The window
    // system's figure is asked each time: the widget's copy of it can miss a
    // frame the window manager put around the window after it was shown.
    // Where the screen is narrower, the window takes what it holds and the
    // rest is reached by scrolling (FitToScreen).
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const int frameExtra = frame.left() + frame.right();
    SetDesignSize(QSize(outerWidth - frameExtra, FDesignSize.height()));
}

void TMainForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    FitToScreen();
    if (FPlaced)
        return;
    FPlaced = true;
    if (QWindow* window = windowHandle())
        connect(window, &QWindow::screenChanged, this, &TMainForm::FitToScreen);
    if (QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TMainForm::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    // The window manager's frame is known once it has placed the window.
    FitToScreen();
}

void TMainForm::SetDesignSize(QSize size)
{
    FDesignSize = size;
    FWindowContent->setFixedSize(size);
    FitToScreen();
}

void TMainForm::FitToScreen()
{
    // The designed size where the screen's work area holds it with the
    // window's frame; as much as it holds where it does not, the rest
    // reached by scrolling.
    QSize client = FDesignSize;
    QScreen* screen = isVisible() ? this->screen() : nullptr;
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    if (screen) {
        const QRect available = screen->availableGeometry();
        client = client.boundedTo(QSize(available.width() - frame.left() - frame.right(),
                                        available.height() - frame.top() - frame.bottom()));
    }
    if (size() != client || minimumSize() != client || maximumSize() != client)
        setFixedSize(client);
    if (!screen)
        return;
    // A window that no longer fits where it stands moves back onto the
    // work area, left and up. Measured on the window system's frame, and
    // moved by the difference: how a move places the frame is the window
    // manager's.
    const QRect available = screen->availableGeometry();
    const QRect outer(windowHandle() ? windowHandle()->frameGeometry().topLeft() : pos(),
                      client.grownBy(frame));
    const int x =
        std::max(available.x(), std::min(outer.x(), available.right() + 1 - outer.width()));
    const int y =
        std::max(available.y(), std::min(outer.y(), available.bottom() + 1 - outer.height()));
    if (QPoint(x, y) != outer.topLeft() && !FMovingOntoScreen) {
        FMovingOntoScreen = true;
        move(pos() + QPoint(x, y) - outer.topLeft());
        FMovingOntoScreen = false;
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
        // A key press travels from the window system's window to the focus
        // widget (or to the open pop-up list of a combo box) and then up its
        // parents; look at it once, where it arrives first among our widgets.
        if (watched->isWidgetType() && watched == KeyPressReceiver() &&
            WindowOwning(static_cast<QWidget*>(watched)) == this) {
            const QString text = static_cast<QKeyEvent*>(event)->text();
            for (QChar key : text) {
                // Delete carries the control character DEL but types nothing.
                if (key != QChar(0x7F))
                    FormKeyPress(key);
            }
        }
        break;
    case QEvent::MouseButtonRelease:
        if (watched == LogoImage && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            LogoImageClick();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::ShowStatusBusProblem(const QString& text, const QString& details)
{
    FStatusBusText = text;
    FStatusBusDetails = details.isEmpty() ? text : details;
    ShowStatusLine();
}

void TMainForm::ShowMetricsNotice(const QString& text, const QString& details, bool warning)
{
    FMetricsText = text;
    FMetricsDetails = details.isEmpty() ? text : details;
    FMetricsWarning = warning;
    ShowStatusLine();
}

void TMainForm::ShowStatusLine()
{
    QStringList texts, details;
    for (const auto& [text, detail] :
         {std::pair{FStatusBusText, FStatusBusDetails}, std::pair{FMetricsText, FMetricsDetails}}) {
        if (!text.isEmpty()) {
            texts << text;
            details << detail;
        }
    }
    const QString text = texts.join(QStringLiteral("  \u00b7  "));
    if (!FStatusBusLabel) {
        if (text.isEmpty())
            return;
        FStatusBusLabel = new QLabel(StatusPolaczeniaGroupBox);
        FStatusBusLabel->setObjectName(QStringLiteral("StatusBusLabel"));
        FStatusBusLabel->setAlignment(Qt::AlignCenter);
        QFont font = FStatusBusLabel->font();
        font.setPointSize(8);
        FStatusBusLabel->setFont(font);
        FStatusLabelGeometry = StatusLabel->geometry();
    }
    const QRect whole = FStatusLabelGeometry;
    if (text.isEmpty()) {
        FStatusBusLabel->hide();
        FStatusBusLabel->clear();
        FStatusBusLabel->setToolTip(QString());
        StatusLabel->setGeometry(whole);
        return;
    }
    const bool problem = !FStatusBusText.isEmpty() || FMetricsWarning;
    FStatusBusLabel->setStyleSheet(problem ? QStringLiteral("color: #b00000")
                                           : QStringLiteral("color: #505050"));
    // The status keeps the upper part of its place, the line takes the bottom.
    const int lineHeight = FStatusBusLabel->fontMetrics().height() + 2;
    StatusLabel->setGeometry(whole.adjusted(0, 0, 0, -lineHeight));
    FStatusBusLabel->setGeometry(whole.left(), whole.bottom() + 1 - lineHeight, whole.width(),
                                 lineHeight);
    FStatusBusLabel->setText(
        FStatusBusLabel->fontMetrics().elidedText(text, Qt::ElideRight, whole.width() - 4));
    FStatusBusLabel->setToolTip(details.join(QStringLiteral("\n\n")));
    FStatusBusLabel->show();
}

void TMainForm::WatchStatusBus(const TStatusService& service)
{
    connect(&service, &TStatusService::StateChanged, this, [this, &service] {
        ShowStatusBusProblem(service.Problem(), service.ProblemDetails());
    });
    ShowStatusBusProblem(service.Problem(), service.ProblemDetails());
}
