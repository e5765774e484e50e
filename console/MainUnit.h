// SPDX-License-Identifier: GPL-3.0-or-later
// The console's one window, one face of the console session
// (TConsoleSession): its controls (from the window layout), the panels that
// show the session's facts and turn the operator's actions into the
// session's methods, and the window's own size, keys and logo:
//   MainUnit.cpp            start, stop, display reset, logo, size, keys
//   DeviceMessages.cpp      the controller's live messages, shown
//   DataLog.cpp             the data log's box (the log itself is the model's)
//   DevicePanel.*           search, connect, disconnect (TDevicePanel)
//   SimpleMenuPanel.*       the simple-menu page (TSimpleMenuPanel)
//   PeakPanel.*             the peak list, Start, Lock (TPeakPanel)
//   ScopePanel.*            the scope chart and its options (TScopePanel)
//   ServicePanel.*          the service panel (TServicePanel)
//   LockSupervisionPanel.*  "keep locked" and the lock health
#pragma once

#include "ui_MainForm.h"

#include "console/ConsoleEnvironment.h"
#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/PeakTable.h"

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class QTimer;
class QLineSeries;
class QScrollArea;
class TServicePassword;
class TLockHistory;
class TStatusService;
class TFileWriter;
class TLockSupervision;
class TLockSupervisionPanel;
class TDevicePanel;
class TDataLog;
class TScopePanel;
class TServicePanel;
class TSimpleMenuPanel;
class TPeakPanel;

class TMainForm : public QWidget, public Ui::TMainForm
{
    Q_OBJECT

public:
    // Shows the session, which outlives it. Everything the window takes
    // from outside (dialogs, sounds, timings) comes from the environment;
    // the link's bridges are the drivers' (D2XX_SetDrivers).
    explicit TMainForm(TConsoleSession& session,
                       TConsoleEnvironment environment = TConsoleEnvironment::Default(),
                       QWidget* parent = nullptr);
    // With a session of its own, made from the environment.
    explicit TMainForm(TConsoleEnvironment environment = TConsoleEnvironment::Default(),
                       QWidget* parent = nullptr);
    ~TMainForm() override;

    // ---- the session the window shows, and its parts
    TConsoleSession& Session() const { return *FSession; }
    TControllerState& State() const { return FSession->State(); }
    // The scope chart and its tuning options (scope scale, harmonic).
    TScopePanel& ScopePanel() const { return *FScopePanel; }
    // The service panel's actions and chart (the panel itself is the
    // control ServicePanel).
    TServicePanel& Service() const { return *FServicePanelView; }
    // The simple-menu page: its peak buttons, status panel and page switch.
    TSimpleMenuPanel& SimpleMenu() const { return *FSimpleMenu; }
    // The main page's peak list, Start and Lock.
    TPeakPanel& PeakPanel() const { return *FPeakPanel; }
    // Lock supervision: the supervisor and the lock health. "keep locked" on
    // the simple menu switches its relocking on; SetKeepLocked ticks the box.
    TLockSupervision& Supervision() const { return FSession->Supervision(); }
    void SetKeepLocked(bool on);
    // The data log (its file, its writer, its failures).
    TDataLog& DataLog() const { return FSession->DataLog(); }

    // ---- the window's timers and the charts' series
    QTimer* ConnectionTimer = nullptr;
    QTimer* BlinkTimer = nullptr;
    QLineSeries* DataSeries = nullptr;
    QLineSeries* ServiceSeries = nullptr;

    // ---- data log
    bool IsLogging() const;

    // ---- lock history: the facts the handlers and commands leave, for the
    // system journal and the status on the session bus
    TLockHistory& LockHistory() const { return FSession->LockHistory(); }

    // ---- the status on the session bus: a line under the device panel's
    // status while another process holds the bus name (details in its tool
    // tip); an empty text takes it away.
    void ShowStatusBusProblem(const QString& text, const QString& details = QString());
    // Shows the service's problems from now on, as they come.
    void WatchStatusBus(const TStatusService& service);
    // The line, once it was first shown; null before.
    QLabel* StatusBusLabel() const { return FStatusBusLabel; }
    // ---- the metrics endpoint: where it serves, or why it serves nothing,
    // on the same line (after the status bus's problem, if any); a warning
    // shows in the problem's colour. An empty text takes it away.
    void ShowMetricsNotice(const QString& text, const QString& details, bool warning);

    // ---- the device search: true from a click on Search (or the simple
    // menu's timer) until its result is in the device list
    bool SearchRunning() const;

    // ---- event handlers (public so that tests can drive them like the window does);
    // the device panel's four are its own, forwarded
    void FormKeyPress(QChar key);
    void LogoImageClick();
    void SearchUrzadzenButtonClick();
    void ConnectButtonClick();
    void DisconnectButtonClick();
    void ConnectionTimerTimer();
    void SaveDataChartToFileCheckBoxClick();

    // The address the logo opens.
    static QString DocumentationUrl();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    TMainForm(TConsoleSession* session, TConsoleEnvironment environment, QWidget* parent);

    // ---- start and stop
    void FormCreate();
    void FormDestroy();
    void ResetDisplays();
    void ConnectSignals();

    // The views follow the state's signals.
    void ShowState();

    // ---- data log
    void SetupDataLog();

    // ---- fields, in the order the window declares them
    std::unique_ptr<TServicePassword> FServicePassword;

    // ---- implementation state beyond the declared fields; each concern keeps
    // its own block
    TConsoleEnvironment FEnvironment;
    std::unique_ptr<TSystemSounds> FSounds;
    // The session shown: its own (made from the environment) or the one
    // given.
    std::unique_ptr<TConsoleSession> FOwnSession;
    TConsoleSession* FSession = nullptr;
    TControllerState* FState = nullptr;
    bool FDestroyed = false;
    bool FPlaced = false;

    // the window's size: the controls lie on FWindowContent at the designed
    // size (FDesignSize, the client size the layout asks for); the window
    // shows them through FWindowScroll at that size, or at what the screen's
    // work area holds, whichever is smaller
    QWidget* FWindowContent = nullptr;
    QScrollArea* FWindowScroll = nullptr;
    QSize FDesignSize;
    bool FMovingOntoScreen = false;
    void SetDesignSize(QSize size);
    void FitToScreen();

    // device panel: the session's search, connect and link
    std::unique_ptr<TDevicePanel> FDevicePanel;
    TLockSupervisionPanel* FLockSupervisionPanel = nullptr;

    // status bus: the line under the status, and the status's own place
    // before the line took its bottom
    QLabel* FStatusBusLabel = nullptr;
    QRect FStatusLabelGeometry;
    QString FStatusBusText, FStatusBusDetails;
    QString FMetricsText, FMetricsDetails;
    bool FMetricsWarning = false;
    void ShowStatusLine();

    // scope chart: the state's last 1000 scope samples, painted in its plot area
    TScopePanel* FScopePanel = nullptr;

    // service panel: Read, the Set actions, the values read back and the
    // service chart
    TServicePanel* FServicePanelView = nullptr;
    TSimpleMenuPanel* FSimpleMenu = nullptr;
    TPeakPanel* FPeakPanel = nullptr;
    void SetOuterWidth(int outerWidth);

    // data log: the session's
    QString AskForSaveFileName(const QString& proposedName, const QString& filter,
                               const QString& defaultSuffix);
    void ReportToOperator(const QString& title, const QString& text);
};
