// The keep-awake request against a private session bus and a private
// "system" bus, each its own dbus-daemon started by this program: the calls
// the screen saver and the login manager get, with their argument types, and
// a console that runs quietly when neither service is there.
#include "console/SleepPreventionUnit.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

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
    explicit TStandIn(uint32_t cookie)
    {
        FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        FProcess.start(QStringLiteral(VARNEL_KEEPAWAKE_STANDIN),
                       {QString::fromStdString(Buses->Session->Address()),
                        QString::fromStdString(Buses->System->Address()), QString::number(cookie)});
    }

    ~TStandIn()
    {
        FProcess.kill();
        FProcess.waitForFinished();
        // Gone only once both buses have let its names go.
        const bool gone = QTest::qWaitFor(
            [] {
                return !QDBusConnection::sessionBus().interface()->isServiceRegistered(
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

const std::string Taken = "session Inhibit ss Varnel console|Laser controller console running";
const std::string SleepTaken =
    "system Inhibit ssss sleep:idle|Varnel console|Laser controller console running|block";
const std::string SleepReleased = "system released";

TEST(KeepAwake, TakesBothInhibitsAtStartAndReleasesThemAtExit)
{
    // The screen saver's cookie is whatever number it hands out, 0 included.
    for (const uint32_t cookie : {7u, 0u}) {
        SCOPED_TRACE(cookie);
        TStandIn standIn(cookie);
        ASSERT_TRUE(standIn.WaitFor("ready"));
        const std::string released = "session UnInhibit u " + std::to_string(cookie);
        {
            TSleepPrevention keepAwake;
            keepAwake.Start();
            EXPECT_TRUE(keepAwake.DisplayInhibited());
            EXPECT_TRUE(keepAwake.SleepInhibited());
            // A second start asks for nothing more.
            keepAwake.Start();
            ASSERT_TRUE(standIn.WaitFor(SleepTaken));
            EXPECT_EQ(standIn.Lines(), (TLines{Taken, SleepTaken}));

            keepAwake.Stop();
            EXPECT_FALSE(keepAwake.DisplayInhibited());
            EXPECT_FALSE(keepAwake.SleepInhibited());
            ASSERT_TRUE(standIn.WaitFor(SleepReleased));
            ASSERT_TRUE(standIn.WaitFor(released));
            EXPECT_EQ(standIn.Lines(), (TLines{Taken, SleepTaken, released, SleepReleased}));
        }
        // Stopped once, the end of the run withdraws nothing a second time.
        EXPECT_EQ(standIn.Lines().size(), 4u);
    }
}

TEST(KeepAwake, EndOfRunWithoutStopReleasesBoth)
{
    TStandIn standIn(42);
    ASSERT_TRUE(standIn.WaitFor("ready"));
    {
        TSleepPrevention keepAwake;
        keepAwake.Start();
    }
    ASSERT_TRUE(standIn.WaitFor(SleepReleased));
    EXPECT_EQ(standIn.Lines(),
              (TLines{Taken, SleepTaken, "session UnInhibit u 42", SleepReleased}));
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
        EXPECT_FALSE(keepAwake.DisplayInhibited());
        EXPECT_FALSE(keepAwake.SleepInhibited());
        keepAwake.Stop();
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(messages, QStringList());
}

} // namespace

int main(int argc, char* argv[])
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests starts no buses.
    std::unique_ptr<TBuses> buses;
    if (!GTEST_FLAG_GET(list_tests)) {
        // Both buses are in place before anything of the program could
        // connect to the desktop's own.
        buses = std::make_unique<TBuses>();
        buses->Session = std::make_unique<TPrivateBus>(buses->Dir.path().toStdString(), "session");
        buses->System = std::make_unique<TPrivateBus>(buses->Dir.path().toStdString(), "system");
        if (buses->Session->Address().empty() || buses->System->Address().empty()) {
            std::fprintf(stderr, "cannot start dbus-daemon\n");
            return 1;
        }
        ::setenv("DBUS_SESSION_BUS_ADDRESS", buses->Session->Address().c_str(), 1);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", buses->System->Address().c_str(), 1);
        Buses = buses.get();
    }
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
