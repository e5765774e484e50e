// SPDX-License-Identifier: GPL-3.0-or-later
// The keep-awake request against a private session bus and a private
// "system" bus, each its own dbus-daemon started by this program: the calls
// the desktop portal, the screen saver and the login manager get, with their
// argument types, and a console that runs quietly when no service is there.
// The KeepAwakeX11 tests need the console on an X server (xcb) and are run
// on one of their own: what the server's screen saver and DPMS do while the
// console holds keep-awake and after, seen by another client of the server.
#include "console/SleepPreventionUnit.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>

#include <gtest/gtest.h>

#include <xcb/dpms.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using TLines = std::vector<std::string>;

// A dbus-daemon of its own that lets everyone own and call anything and
// starts no services; its address comes back on a pipe.
class TPrivateBus
{
public:
    TPrivateBus(const std::string& dir, const std::string& name)
    {
        const std::string config = dir + "/" + name + ".conf";
        std::FILE* file = std::fopen(config.c_str(), "w");
        if (!file)
            return;
        std::fprintf(file,
                     "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                     "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                     "<busconfig><type>session</type><listen>unix:path=%s/%s</listen>"
                     "<auth>EXTERNAL</auth><policy context=\"default\">"
                     "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                     "<allow own=\"*\"/></policy></busconfig>\n",
                     dir.c_str(), name.c_str());
        std::fclose(file);

        int out[2];
        if (::pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string configArgument = "--config-file=" + config;
        char program[] = "dbus-daemon";
        char noFork[] = "--nofork";
        char printAddress[] = "--print-address=1";
        char* argv[] = {program, configArgument.data(), noFork, printAddress, nullptr};
        if (::posix_spawnp(&FPid, program, &actions, nullptr, argv, environ) != 0)
            FPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        char buffer[512];
        std::string line;
        ssize_t got = 0;
        while (line.find('\n') == std::string::npos && (got = ::read(out[0], buffer, 512)) > 0)
            line.append(buffer, static_cast<std::size_t>(got));
        ::close(out[0]);
        FAddress = line.substr(0, line.find('\n'));
    }

    ~TPrivateBus()
    {
        if (FPid > 0) {
            ::kill(FPid, SIGTERM);
            ::waitpid(FPid, nullptr, 0);
        }
    }

    const std::string& Address() const { return FAddress; }

private:
    pid_t FPid = -1;
    std::string FAddress;
};

struct TBuses
{
    QTemporaryDir Dir;
    std::unique_ptr<TPrivateBus> Session;
    std::unique_ptr<TPrivateBus> System;
};

TBuses* Buses = nullptr;

// The stand-in services, as a process of their own: a call the console
// blocks on must find someone else to answer it.
class TStandIn
{
public:
    explicit TStandIn(uint32_t cookie, bool withPortal = true)
    {
        QStringList arguments{QString::fromStdString(Buses->Session->Address()),
                              QString::fromStdString(Buses->System->Address()),
                              QString::number(cookie)};
        if (!withPortal)
            arguments << QStringLiteral("noportal");
        FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        FProcess.start(QStringLiteral(VARNEL_KEEPAWAKE_STANDIN), arguments);
    }

    ~TStandIn()
    {
        FProcess.kill();
        FProcess.waitForFinished();
        // Gone only once both buses have let its names go.
        const bool gone = QTest::qWaitFor(
            [] {
                const QDBusConnectionInterface* session = QDBusConnection::sessionBus().interface();
                return !session->isServiceRegistered(
                           QStringLiteral("org.freedesktop.portal.Desktop")) &&
                       !session->isServiceRegistered(
                           QStringLiteral("org.freedesktop.ScreenSaver")) &&
                       !QDBusConnection::systemBus().interface()->isServiceRegistered(
                           QStringLiteral("org.freedesktop.login1"));
            },
            20000);
        EXPECT_TRUE(gone);
    }

    // Waits until the stand-in has written this line; true when it did.
    bool WaitFor(const std::string& line)
    {
        return QTest::qWaitFor(
            [&] {
                const TLines lines = Lines();
                return line == "ready" ? FLines.startsWith(QLatin1String("ready\n"))
                                       : std::find(lines.begin(), lines.end(), line) != lines.end();
            },
            20000);
    }

    // What it has written so far, but "ready".
    TLines Lines()
    {
        FLines += QString::fromUtf8(FProcess.readAllStandardOutput());
        TLines lines;
        for (const QString& line : FLines.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            if (line != QLatin1String("ready"))
                lines.push_back(line.toStdString());
        return lines;
    }

private:
    QProcess FProcess;
    QString FLines;
};

const std::string PortalTaken = "portal Inhibit sua{sv} |8|reason=Laser controller console running";
const std::string PortalReleased = "portal Close /org/freedesktop/portal/desktop/request/standin/1";
const std::string Taken = "session Inhibit ss Varnel console|Laser controller console running";
// Idle only: a lock on "sleep" would make the operator's own suspend need an
// administrator.
const std::string IdleTaken =
    "system Inhibit ssss idle|Varnel console|Laser controller console running|block";
const std::string IdleReleased = "system released";

TEST(KeepAwake, TakesEveryInhibitAtStartAndReleasesThemAtExit)
{
    // The screen saver's cookie is whatever number it hands out, 0 included;
    // a desktop without the portal still gets the other two.
    struct TCase
    {
        uint32_t Cookie;
        bool WithPortal;
    };
    for (const TCase& test : {TCase{7, true}, TCase{0, false}}) {
        SCOPED_TRACE(testing::Message() << test.Cookie << (test.WithPortal ? " portal" : ""));
        TStandIn standIn(test.Cookie, test.WithPortal);
        ASSERT_TRUE(standIn.WaitFor("ready"));
        const std::string released = "session UnInhibit u " + std::to_string(test.Cookie);
        TLines taken{Taken, IdleTaken};
        TLines all{Taken, IdleTaken, released, IdleReleased};
        if (test.WithPortal) {
            taken.insert(taken.begin(), PortalTaken);
            all = {PortalTaken, Taken, IdleTaken, PortalReleased, released, IdleReleased};
        }
        {
            TSleepPrevention keepAwake;
            keepAwake.Start();
            EXPECT_EQ(keepAwake.PortalInhibited(), test.WithPortal);
            EXPECT_TRUE(keepAwake.DisplayInhibited());
            EXPECT_TRUE(keepAwake.SleepInhibited());
            // Offscreen: the X server is not asked.
            EXPECT_FALSE(keepAwake.ScreenSaverSuspended());
            // A second start asks for nothing more.
            keepAwake.Start();
            ASSERT_TRUE(standIn.WaitFor(IdleTaken));
            EXPECT_EQ(standIn.Lines(), taken);

            keepAwake.Stop();
            EXPECT_FALSE(keepAwake.PortalInhibited());
            EXPECT_FALSE(keepAwake.DisplayInhibited());
            EXPECT_FALSE(keepAwake.SleepInhibited());
            ASSERT_TRUE(standIn.WaitFor(IdleReleased));
            ASSERT_TRUE(standIn.WaitFor(released));
            EXPECT_EQ(standIn.Lines(), all);
        }
        // Stopped once, the end of the run withdraws nothing a second time.
        EXPECT_EQ(standIn.Lines(), all);
    }
}

TEST(KeepAwake, EndOfRunWithoutStopReleasesEveryInhibit)
{
    TStandIn standIn(42);
    ASSERT_TRUE(standIn.WaitFor("ready"));
    {
        TSleepPrevention keepAwake;
        keepAwake.Start();
    }
    ASSERT_TRUE(standIn.WaitFor(IdleReleased));
    EXPECT_EQ(standIn.Lines(), (TLines{PortalTaken, Taken, IdleTaken, PortalReleased,
                                       "session UnInhibit u 42", IdleReleased}));
}

TEST(KeepAwake, WithoutTheServicesTheConsoleRunsAndNothingIsReported)
{
    static QStringList messages;
    messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
    {
        TSleepPrevention keepAwake;
        keepAwake.Start();
        EXPECT_FALSE(keepAwake.PortalInhibited());
        EXPECT_FALSE(keepAwake.DisplayInhibited());
        EXPECT_FALSE(keepAwake.SleepInhibited());
        keepAwake.Stop();
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(messages, QStringList());
}

// The test's own connection to the console's X server: what any other
// client of the server sees.
class TXServer
{
public:
    TXServer() : FConnection(xcb_connect(nullptr, nullptr))
    {
        if (!xcb_connection_has_error(FConnection))
            FRoot = xcb_setup_roots_iterator(xcb_get_setup(FConnection)).data->root;
    }
    ~TXServer() { xcb_disconnect(FConnection); }
    TXServer(const TXServer&) = delete;
    TXServer& operator=(const TXServer&) = delete;

    bool Usable() const { return !xcb_connection_has_error(FConnection); }

    // The server blanks after this many idle seconds; 0: never.
    void SetScreenSaverTimeout(int16_t seconds)
    {
        xcb_set_screen_saver(FConnection, seconds, 0, XCB_BLANKING_NOT_PREFERRED,
                             XCB_EXPOSURES_ALLOWED);
        xcb_flush(FConnection);
    }

    // Ends a blank screen and starts the idle count again, as input would.
    void Wake()
    {
        xcb_force_screen_saver(FConnection, XCB_SCREEN_SAVER_RESET);
        xcb_flush(FConnection);
    }

    // XCB_SCREENSAVER_STATE_OFF, _ON or _DISABLED, or -1 without an answer.
    int ScreenSaverState()
    {
        xcb_screensaver_query_info_reply_t* info = xcb_screensaver_query_info_reply(
            FConnection, xcb_screensaver_query_info(FConnection, FRoot), nullptr);
        const int state = info ? info->state : -1;
        std::free(info);
        return state;
    }

    bool HasDpms()
    {
        const xcb_query_extension_reply_t* data = xcb_get_extension_data(FConnection, &xcb_dpms_id);
        if (!data || !data->present)
            return false;
        xcb_dpms_capable_reply_t* capable =
            xcb_dpms_capable_reply(FConnection, xcb_dpms_capable(FConnection), nullptr);
        const bool result = capable && capable->capable;
        std::free(capable);
        return result;
    }

    bool DpmsOn()
    {
        xcb_dpms_info_reply_t* info =
            xcb_dpms_info_reply(FConnection, xcb_dpms_info(FConnection), nullptr);
        const bool on = info && info->state;
        std::free(info);
        return on;
    }

    void SetDpms(bool on)
    {
        xcb_generic_error_t* error =
            xcb_request_check(FConnection, on ? xcb_dpms_enable_checked(FConnection)
                                              : xcb_dpms_disable_checked(FConnection));
        EXPECT_EQ(error, nullptr);
        std::free(error);
    }

private:
    xcb_connection_t* FConnection;
    xcb_window_t FRoot = 0;
};

bool OnXServer()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// A round trip on the window's own connection to the server: false once the
// server has ended it (as it does for a request to an extension it lacks).
bool WindowConnectionSound()
{
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    return !xcb_connection_has_error(connection);
}

TEST(KeepAwakeX11, TheServersScreenSaverIsSuspendedWhileHeldAndResumesAtTheEnd)
{
    if (!OnXServer())
        GTEST_SKIP() << "needs the console on an X server";
    TXServer server;
    ASSERT_TRUE(server.Usable());
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "Stop" : "end of run without Stop");
        server.SetScreenSaverTimeout(0);
        server.Wake();
        ASSERT_NE(server.ScreenSaverState(), XCB_SCREENSAVER_STATE_ON);
        {
            TSleepPrevention keepAwake;
            keepAwake.Start();
            EXPECT_TRUE(keepAwake.ScreenSaverSuspended());
            server.SetScreenSaverTimeout(1);
            // Three idle seconds: long past the time-out, the saver is still
            // off. (A busy machine only makes this easier to pass.)
            QTest::qWait(3000);
            EXPECT_EQ(server.ScreenSaverState(), XCB_SCREENSAVER_STATE_OFF);
            if (stop) {
                keepAwake.Stop();
                EXPECT_FALSE(keepAwake.ScreenSaverSuspended());
            }
        }
        // Given back: the idle server blanks.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return server.ScreenSaverState() == XCB_SCREENSAVER_STATE_ON; }, 20000));
    }
    server.SetScreenSaverTimeout(0);
    server.Wake();
    EXPECT_TRUE(WindowConnectionSound());
}

// DPMS is a setting of the whole server: switched off while held only where
// it was on, and left as it was found at the end. A server without the
// extension (Xvfb has none) is not asked, and the window's connection lives.
TEST(KeepAwakeX11, DpmsIsOffWhileHeldAndAsFoundAfter)
{
    if (!OnXServer())
        GTEST_SKIP() << "needs the console on an X server";
    TXServer server;
    ASSERT_TRUE(server.Usable());
    if (!server.HasDpms()) {
        TSleepPrevention keepAwake;
        keepAwake.Start();
        EXPECT_FALSE(keepAwake.DpmsDisabled());
        EXPECT_TRUE(WindowConnectionSound());
        keepAwake.Stop();
        EXPECT_TRUE(WindowConnectionSound());
        return;
    }
    const bool previous = server.DpmsOn();
    for (const bool wasOn : {true, false}) {
        SCOPED_TRACE(wasOn ? "DPMS was on" : "DPMS was off");
        server.SetDpms(wasOn);
        {
            TSleepPrevention keepAwake;
            keepAwake.Start();
            EXPECT_EQ(keepAwake.DpmsDisabled(), wasOn);
            EXPECT_FALSE(server.DpmsOn());
        }
        EXPECT_EQ(server.DpmsOn(), wasOn);
    }
    server.SetDpms(previous);
    EXPECT_TRUE(WindowConnectionSound());
}

} // namespace

int main(int argc, char* argv[])
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests starts no buses and needs no display.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // Both buses are in place before anything of the program could connect
    // to the desktop's own.
    TBuses buses;
    buses.Session = std::make_unique<TPrivateBus>(buses.Dir.path().toStdString(), "session");
    buses.System = std::make_unique<TPrivateBus>(buses.Dir.path().toStdString(), "system");
    if (buses.Session->Address().empty() || buses.System->Address().empty()) {
        std::fprintf(stderr, "cannot start dbus-daemon\n");
        return 1;
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", buses.Session->Address().c_str(), 1);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", buses.System->Address().c_str(), 1);
    Buses = &buses;
    // Offscreen, or on an X server for the KeepAwakeX11 tests.
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
