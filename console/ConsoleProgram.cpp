// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/ConsoleProgram.h"

#include "console/MainUnit.h"
#include "console/SleepPreventionUnit.h"
#include "console/StyleUnit.h"
#include "console/model/ConsoleLog.h"
#include "console/model/ConsoleSession.h"
#include "console/model/LockHistory.h"
#include "console/model/MetricsText.h"
#include "console/publish/LabMetrics.h"
#include "console/publish/StatusService.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSettings>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Where the metrics endpoint serves is told by default, not only its
// failures: an operator who asked for port 0 learns the port.
Q_LOGGING_CATEGORY(VarnelMetricsLog, "varnel.metrics", QtInfoMsg)

constexpr std::array<int, 3> CloseSignals = {SIGTERM, SIGINT, SIGHUP};

// A signal handler may do next to nothing; it writes one byte into this
// pipe, and the main thread's event loop reads it and closes the window.
int SignalPipe[2] = {-1, -1};

void WriteSignalByte(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(SignalPipe[1], &byte, 1);
    errno = savedErrno;
}

// While it lives, the close signals run `close` on the main thread. A signal
// that arrives during the orderly close only adds to the close under way;
// afterwards the signals do what they do by default again.
class TCloseOnSignals
{
public:
    explicit TCloseOnSignals(std::function<void()> close)
    {
        if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        FNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [close = std::move(close)] {
            char bytes[64];
            while (::read(SignalPipe[0], bytes, sizeof bytes) > 0) {
            }
            close();
        });
        struct sigaction action = {};
        action.sa_handler = WriteSignalByte;
        sigemptyset(&action.sa_mask);
        // Calls interrupted in other threads (the reader's polling) resume.
        action.sa_flags = SA_RESTART;
        for (int number : CloseSignals)
            ::sigaction(number, &action, nullptr);
    }
    ~TCloseOnSignals()
    {
        if (!FNotifier)
            return;
        for (int number : CloseSignals)
            std::signal(number, SIG_DFL);
    }
    TCloseOnSignals(const TCloseOnSignals&) = delete;
    TCloseOnSignals& operator=(const TCloseOnSignals&) = delete;

private:
    std::unique_ptr<QSocketNotifier> FNotifier;
};

// What the command line and the user's settings file ask for. An option on
// the command line wins over the same key in the file
// (~/.config/varnel/varnel.conf).
struct TConsoleOptions
{
    QString MetricsListen; // empty: no metrics endpoint
    // Whether the endpoint was asked for on the command line (or else in
    // the settings file).
    bool MetricsListenOnCommandLine = false;
    bool KeepLocked = false;
};

TConsoleOptions ParseOptions(const QApplication& app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Operator console of a frequency-stabilised laser"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption metricsListen(
        QStringLiteral("metrics-listen"),
        QStringLiteral("Serve the console's metrics for Prometheus at http://HOST:PORT/metrics "
                       "(read-only; off unless given). HOST is an IPv4 address, an IPv6 address "
                       "in brackets or a host name; port 0 takes a free port. The console does "
                       "not start when it cannot listen there."),
        QStringLiteral("HOST:PORT"));
    parser.addOption(metricsListen);
    const QCommandLineOption keepLocked(
        QStringLiteral("keep-locked"),
        QStringLiteral(
            "Start with \"keep locked\" ticked: a lost lock is relocked on the same peak."));
    parser.addOption(keepLocked);
    parser.process(app); // --help, --version and a wrong option end the program here

    const QSettings settings(QStringLiteral("varnel"), QStringLiteral("varnel"));
    TConsoleOptions options;
    options.MetricsListenOnCommandLine = parser.isSet(metricsListen);
    options.MetricsListen = parser.isSet(metricsListen)
                                ? parser.value(metricsListen)
                                : settings.value(metricsListen.names().front()).toString();
    options.KeepLocked =
        parser.isSet(keepLocked) || settings.value(keepLocked.names().front()).toBool();
    return options;
}

} // namespace

int RunConsole(int& argc, char** argv, const TMakeMainForm& makeWindow)
{
    LogToJournalWhenStartedThere();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varnel"));
    QApplication::setApplicationVersion(QStringLiteral(VARNEL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("varnel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/varnel.svg")));

    const TConsoleOptions options = ParseOptions(app);

    TSleepPrevention keepAwake;
    keepAwake.Start();

    QString styleError;
    if (!ApplyVisualStyle(app, QStringLiteral("Light"), &styleError))
        QMessageBox::critical(nullptr, QStringLiteral("Varnel"), styleError);

    // The close signals are caught before the window is made: making it may
    // take a while (a drill connects in it), and a signal that comes then
    // must still end the console in order, not by the default action.
    bool closeAsked = false;
    // The session is the console; the window and the publishers are its
    // faces and go before it.
    auto session =
        std::make_unique<TConsoleSession>(TConsoleEnvironment::Default().SessionSettings());
    std::unique_ptr<TMainForm> window;
    const TCloseOnSignals closeOnSignals([&window, &closeAsked] {
        closeAsked = true;
        // While the window is being made or released the pointer is empty.
        if (window)
            window->close();
        QCoreApplication::quit();
    });
    window = makeWindow ? makeWindow(*session) : std::make_unique<TMainForm>(*session);
    if (options.KeepLocked)
        window->SetKeepLocked(true);
    // The status on the session bus lives as long as the window it tells of.
    auto statusService = std::make_unique<TStatusService>(session->LockHistory());
    // A name held by another process shows in the device panel.
    window->WatchStatusBus(*statusService);
    // The metrics for a lab's monitoring, when asked for.
    std::unique_ptr<TLabMetrics> metrics;
    if (!options.MetricsListen.isEmpty()) {
        metrics = std::make_unique<TLabMetrics>(session->LockHistory(), options.MetricsListen,
                                                QCoreApplication::applicationVersion());
        // The console's own counters, from its start.
        const TConsoleSession& counted = *session;
        metrics->SetMoreFacts(
            [&counted](TMetricsSnapshot& snapshot) { counted.AddCounters(snapshot); });
        // Where it serves, or why it does not, on the window and in the log.
        const TMetricsNotice notice =
            DescribeMetricsEndpoint(metrics->Endpoint(), options.MetricsListen);
        if (!metrics->Endpoint().IsListening() && options.MetricsListenOnCommandLine) {
            // Asked for on the command line, by a person or a unit that
            // reads the exit status: the console does not start without it.
            qCCritical(VarnelMetricsLog, "--metrics-listen %s: %s; the console does not start",
                       qUtf8Printable(options.MetricsListen),
                       qUtf8Printable(metrics->Endpoint().Error()));
            window->close();
            keepAwake.Stop();
            metrics.reset();
            statusService.reset();
            window.reset();
            session.reset();
            return MetricsListenFailedExitCode;
        }
        if (!metrics->Endpoint().IsListening())
            qCWarning(VarnelMetricsLog,
                      "metrics-listen=%s in the settings file: %s; the console "
                      "runs without metrics",
                      qUtf8Printable(options.MetricsListen),
                      qUtf8Printable(metrics->Endpoint().Error()));
        else if (notice.Warning)
            qCWarning(VarnelMetricsLog, "%s", qUtf8Printable(notice.Details));
        else
            qCInfo(VarnelMetricsLog, "%s", qUtf8Printable(notice.Details));
        window->ShowMetricsNotice(notice.Text, notice.Details, notice.Warning);
    }
    int result = 0;
    if (closeAsked) {
        window->close();
    } else {
        window->show();
        result = QApplication::exec();
    }

    keepAwake.Stop();
    metrics.reset();
    statusService.reset();
    window.reset();
    session.reset();
    return result;
}
