// SPDX-License-Identifier: GPL-3.0-or-later
// The metrics endpoint over real sockets on the loopback: what it serves,
// what it refuses, the addresses it takes, and that it keeps serving while
// clients misbehave: idle, slow, pipelining without reading, in crowds.
#include "console/publish/MetricsEndpoint.h"

#include "HttpClient.h"
#include "HttpCrowd.h"
#include "PrometheusProcess.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace VarnelHttp;

long ResidentKiB()
{
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TMetricsSnapshot LockedSnapshot()
{
    TMetricsSnapshot s;
    s.Facts.Connected = true;
    s.Facts.Device = QStringLiteral("KWTP \"Bench\" 2\\a");
    s.Facts.DeviceSerialNumber = QStringLiteral("KW0001");
    s.Facts.StatusCode = 3;
    s.Facts.Locked = true;
    s.Facts.LockedPeak = QStringLiteral("f");
    s.Facts.CFT = 24.5;
    s.Facts.WorkingTime = 90;
    s.Facts.LineFramingErrors = 2;
    s.Version = QStringLiteral("1.1.1");
    s.Facts.Supervision.LockState = QStringLiteral("relocking");
    s.Facts.Supervision.LockLosses = 3;
    return s;
}

class MetricsEndpoint : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Endpoint.IsListening()) << Endpoint.Error().toStdString();
        Endpoint.SetSnapshot(LockedSnapshot());
    }
    TMetricsEndpoint Endpoint{QStringLiteral("127.0.0.1:0"),
                              TMetricsEndpoint::TLimits{.RequestTimeoutMsec = 2000,
                                                        .KeepAliveIdleMsec = 500,
                                                        .UnsentTimeoutMsec = 1000}};
};

// Lets this process open a few thousand sockets where the system allows it.
void RaiseOpenFilesLimit(rlim_t wanted)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < wanted) {
        files.rlim_cur = std::min(wanted, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

// GET /metrics from HOST:PORT, an IPv4 or IPv6 address, on a new
// connection; the whole answer ("" when none).
std::string GetAt(const QString& address)
{
    QString host;
    int port = 0;
    QString error;
    if (!TMetricsEndpoint::ParseListenAddress(address, host, port, error))
        return {};
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.toLatin1().constData(), std::to_string(port).c_str(), &hints, &found) != 0)
        return {};
    std::string answer;
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0) {
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size()))
            answer = ReadAll(fd);
    }
    if (fd >= 0)
        close(fd);
    freeaddrinfo(found);
    return answer;
}

} // namespace

TEST(MetricsText, ThePageShowsTheFactsWithTheirLabelsEscaped)
{
    const QString page = QString::fromUtf8(FormatMetrics(LockedSnapshot()));
    const QStringList lines = page.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    struct TCase
    {
        const char* line;
    } cases[] = {
        {R"(varnel_info{device="KWTP \"Bench\" 2\\a",serial="KW0001",version="1.1.1"} 1)"},
        {"varnel_connected 1"},
        {"varnel_locked 1"},
        {"varnel_status_code 3"},
        {R"(varnel_locked_peak_info{peak="f"} 1)"},
        {R"(varnel_lock_state{state="relocking"} 1)"},
        {R"(varnel_lock_state{state="locked"} 0)"},
        {"varnel_lock_losses_total 3"},
        {"varnel_cft_temperature_celsius 24.5"},
        {R"(varnel_line_errors_total{kind="framing"} 2)"},
        {"varnel_controller_working_seconds 5400"},
        {"# TYPE varnel_crc_errors_total counter"},
    };
    for (const TCase& c : cases)
        EXPECT_TRUE(lines.contains(QString::fromUtf8(c.line))) << c.line;

    // Every sample line is a name, optional labels and a number.
    const QRegularExpression sample(QStringLiteral(R"(^[a-z_]+(\{.*\})? [-+0-9.eE]+$)"));
    for (const QString& line : lines) {
        if (!line.startsWith(QLatin1Char('#'))) {
            EXPECT_TRUE(sample.match(line).hasMatch()) << line.toStdString();
        }
    }

    // Not locked: no locked peak, and lock losses still there from zero.
    const QString idle = QString::fromUtf8(FormatMetrics(TMetricsSnapshot{}));
    EXPECT_FALSE(idle.contains(QStringLiteral("varnel_locked_peak_info{")));
    EXPECT_TRUE(idle.contains(QStringLiteral("\nvarnel_lock_losses_total 0\n")));
    EXPECT_TRUE(
        idle.contains(QStringLiteral("varnel_info{device=\"\",serial=\"\",version=\"\"} 1")));
}

TEST(MetricsText, PrometheusOwnLinterFindsNothingWrong)
{
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        GTEST_SKIP() << "promtool is not installed (scripts/deps installs it)";
    for (const TMetricsSnapshot& snapshot : {LockedSnapshot(), TMetricsSnapshot{}}) {
        QProcess tool;
        tool.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
        ASSERT_TRUE(tool.waitForStarted());
        tool.write(FormatMetrics(snapshot));
        tool.closeWriteChannel();
        ASSERT_TRUE(tool.waitForFinished(60000));
        EXPECT_EQ(tool.exitCode(), 0) << tool.readAll().toStdString();
    }
}

TEST(MetricsListenAddress, TellsAddressesFromMistakes)
{
    struct TCase
    {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } cases[] = {
        {"127.0.0.1:9830", true, "127.0.0.1", 9830},
        {":9830", true, "127.0.0.1", 9830},
        {"0.0.0.0:0", true, "0.0.0.0", 0},
        {"[::1]:9830", true, "::1", 9830},
        {"9830", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:70000", false, "", 0},
        {"127.0.0.1:-1", false, "", 0},
        {"localhost:9830", true, "localhost", 9830},
        {"lab-pc.example:0", true, "lab-pc.example", 0},
        {"[::]:9830", true, "::", 9830},
        {"[127.0.0.1]:9830", false, "", 0},
        {"[]:9830", false, "", 0},
        {"lab pc:9830", false, "", 0},
        {"127.0.0.1:98x", false, "", 0},
    };
    for (const TCase& c : cases) {
        QString host, error;
        int port = -1;
        const bool ok =
            TMetricsEndpoint::ParseListenAddress(QString::fromUtf8(c.text), host, port, error);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (ok && c.ok) {
            EXPECT_EQ(host.toStdString(), c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_FALSE(error.isEmpty()) << c.text;
        }
    }
}

TEST(MetricsListenAddress, APortInUseIsReportedWithItsReasonForTheWindowAndTheLog)
{
    TMetricsEndpoint first(QStringLiteral("127.0.0.1:0"));
    ASSERT_TRUE(first.IsListening());
    const QString taken = QStringLiteral("127.0.0.1:%1").arg(first.Port());
    TMetricsEndpoint second(taken);
    EXPECT_FALSE(second.IsListening());
    EXPECT_TRUE(second.Error().contains(QStringLiteral("in use"))) << second.Error().toStdString();
    EXPECT_TRUE(second.Error().contains(taken)) << second.Error().toStdString();

    const TMetricsNotice notice = DescribeMetricsEndpoint(second, taken);
    EXPECT_TRUE(notice.Warning);
    EXPECT_TRUE(notice.Text.contains(QStringLiteral("in use"))) << notice.Text.toStdString();
    EXPECT_TRUE(notice.Details.contains(taken)) << notice.Details.toStdString();
}

TEST(MetricsListenAddress, EveryDocumentedFormServesAndSaysWhere)
{
    struct TCase
    {
        const char* listen;
        bool everyInterface;
    } cases[] = {
        {"127.0.0.1:0", false}, {":0", false},       {"[::1]:0", false},
        {"localhost:0", false}, {"0.0.0.0:0", true},
    };
    for (const TCase& c : cases) {
        const QString listen = QString::fromUtf8(c.listen);
        TMetricsEndpoint endpoint(listen);
        ASSERT_TRUE(endpoint.IsListening()) << c.listen << ": " << endpoint.Error().toStdString();
        endpoint.SetSnapshot(LockedSnapshot());
        EXPECT_GT(endpoint.Port(), 0) << c.listen;
        EXPECT_EQ(endpoint.ServesEveryInterface(), c.everyInterface) << c.listen;
        // Each address it names answers, the chosen port included.
        for (const QString& address : endpoint.Addresses()) {
            EXPECT_TRUE(address.endsWith(QStringLiteral(":%1").arg(endpoint.Port())))
                << address.toStdString();
            const QString reach = address.startsWith(QStringLiteral("0.0.0.0:"))
                                      ? QStringLiteral("127.0.0.1:%1").arg(endpoint.Port())
                                      : address;
            EXPECT_EQ(StatusOf(GetAt(reach)), 200) << c.listen << " at " << reach.toStdString();
        }
        const TMetricsNotice notice = DescribeMetricsEndpoint(endpoint, listen);
        EXPECT_TRUE(notice.Text.contains(QString::number(endpoint.Port())))
            << notice.Text.toStdString();
        EXPECT_EQ(notice.Warning, c.everyInterface) << c.listen;
        if (c.everyInterface) {
            // Every interface is named, the loopback among them.
            EXPECT_TRUE(endpoint.Interfaces().contains(QStringLiteral("127.0.0.1")));
            for (const QString& interface : endpoint.Interfaces())
                EXPECT_TRUE(notice.Text.contains(interface)) << notice.Text.toStdString();
        }
    }
    TMetricsEndpoint unknown(QStringLiteral("no-such-host.invalid:0"));
    EXPECT_FALSE(unknown.IsListening());
    EXPECT_TRUE(unknown.Error().contains(QStringLiteral("no-such-host.invalid")))
        << unknown.Error().toStdString();
}

TEST_F(MetricsEndpoint, ServesTheMetricsAndRefusesEverythingElse)
{
    const std::string page = Get(Endpoint.Port(), "/metrics");
    EXPECT_EQ(StatusOf(page), 200) << page;
    EXPECT_NE(page.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    EXPECT_NE(page.find("\nvarnel_locked 1\n"), std::string::npos);

    struct TCase
    {
        std::string request;
        int status;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /metrics/ HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /metrics.txt HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /../metrics HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nlock", 405},
        {"PUT /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 405},
        {"DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 405},
        {"HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 405},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(StatusOf(Exchange(Endpoint.Port(), c.request)), c.status) << c.request;
}

TEST_F(MetricsEndpoint, MalformedAndOversizedRequestsGetNoPageAndHarmNothing)
{
    const std::string cases[] = {
        "garbage\r\n\r\n",
        "GET\r\n\r\n",
        "GET /metrics HTTP/9.9\r\n\r\n",
        std::string("GET /metrics HTTP/1.1\r\nX: ") + std::string(64 * 1024, 'a') + "\r\n\r\n",
        std::string(100 * 1024, '\0'),
    };
    for (const std::string& request : cases) {
        const std::string answer = Exchange(Endpoint.Port(), request);
        EXPECT_EQ(answer.find("varnel_locked"), std::string::npos) << request.substr(0, 40);
    }
    EXPECT_EQ(StatusOf(Get(Endpoint.Port(), "/metrics")), 200);
}

TEST_F(MetricsEndpoint, ASlowClientDoesNotHoldTheScrapes)
{
    // One byte a second, as a client that never finishes its request.
    std::atomic<bool> stop{false};
    std::thread slow([&] {
        const int fd = Dial(Endpoint.Port());
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
        WriteSlowly(fd, request, stop);
        close(fd);
    });
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(StatusOf(Get(Endpoint.Port(), "/metrics")), 200);
    stop = true;
    slow.join();
}

TEST_F(MetricsEndpoint, AKeptConnectionServesScrapeAfterScrapeAndARefusalEndsIt)
{
    struct TCase
    {
        std::vector<std::pair<std::string, int>> requests; // path, status
        int dials;
    } cases[] = {
        {{{"/metrics", 200}, {"/metrics", 200}, {"/metrics", 200}}, 1},
        {{{"/", 404}, {"/metrics", 200}}, 2},
        {{{"/metrics", 200}, {"/metrics.txt", 404}, {"/metrics", 200}}, 2},
    };
    for (const TCase& c : cases) {
        TKeptConnection connection(Endpoint.Port());
        for (const auto& [path, status] : c.requests) {
            const std::string answer = connection.Get(path);
            EXPECT_EQ(StatusOf(answer), status) << path;
            if (status == 200) {
                EXPECT_NE(answer.find("\nvarnel_locked 1\n"), std::string::npos);
            }
        }
        EXPECT_EQ(connection.Dials(), c.dials) << c.requests.front().first;
    }

    // A refused request's body is never read as a request of its own, and
    // the connection ends with the refusal.
    const std::string inner = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string request =
        "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(inner.size()) +
        "\r\n\r\n" + inner;
    const int fd = Dial(Endpoint.Port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const std::string answer = ReadAll(fd);
    close(fd);
    EXPECT_EQ(StatusOf(answer), 405);
    EXPECT_EQ(answer.find("varnel_locked"), std::string::npos);
}

TEST_F(MetricsEndpoint, IdleKeptConnectionsAreClosedAndHoldNoScrapeBack)
{
    // More idle kept connections than a server with a thread per
    // connection would have threads.
    const int holders = 8;
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<int> idle;
    for (int i = 0; i < holders; ++i) {
        const int fd = Dial(Endpoint.Port());
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
        ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    }
    for (int fd : idle)
        EXPECT_EQ(StatusOf(ReadAnswer(fd)), 200);

    // A new scrape is answered once the idle ones have run out their time.
    EXPECT_EQ(StatusOf(Get(Endpoint.Port(), "/metrics")), 200);
    for (int fd : idle) {
        EXPECT_TRUE(ClosedByPeer(fd, 20s));
        close(fd);
    }
}

TEST_F(MetricsEndpoint, FiveHundredConcurrentClientsAreAllAnsweredAndTheMemoryComesBack)
{
    RaiseOpenFilesLimit(2048);
    (void)Get(Endpoint.Port(), "/metrics"); // the server's first buffers
    const long before = ResidentKiB();

    for (int round = 0; round < 2; ++round) {
        std::vector<int> clients;
        for (int i = 0; i < 500; ++i) {
            const int fd = Dial(Endpoint.Port());
            ASSERT_GE(fd, 0) << "connection " << i;
            clients.push_back(fd);
        }
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
        for (int fd : clients)
            (void)!write(fd, request.data(), request.size());
        int answered = 0;
        for (int fd : clients) {
            if (StatusOf(ReadAnswer(fd)) == 200)
                ++answered;
            close(fd);
        }
        EXPECT_EQ(answered, 500);
    }
    EXPECT_EQ(StatusOf(Get(Endpoint.Port(), "/metrics")), 200);
    // Once the connections are gone the endpoint gives back what they took
    // (at its next rounds over the connections).
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (Endpoint.Connections() > 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(1s);
    // Generous: what a thousand answered connections may leave behind in
    // the allocator, not a leak per connection.
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer keeps freed memory in quarantine: not measured there.)
    EXPECT_LT(ResidentKiB() - before, 8 * 1024);
#else
    (void)before;
#endif
}

TEST_F(MetricsEndpoint, APipeliningClientThatReadsGetsEveryAnswerAndOneThatDoesNotIsDropped)
{
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string many;
    for (int i = 0; i < 300; ++i)
        many += request;

    // Three hundred pages asked for at once, far more than the endpoint
    // holds unsent for a client: it answers as they are read.
    const int reader = Dial(Endpoint.Port());
    ASSERT_GE(reader, 0);
    std::thread writer([&] { (void)!write(reader, many.data(), many.size()); });
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    std::string answers;
    int answered = 0;
    char buffer[65536];
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (answered < 300 && std::chrono::steady_clock::now() < until) {
        pollfd p{reader, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            continue;
        const ssize_t n = read(reader, buffer, sizeof buffer);
        if (n <= 0)
            break;
        answers.append(buffer, static_cast<size_t>(n));
        for (size_t at = 0; (at = answers.find(ok, at)) != std::string::npos; at += ok.size())
            ++answered;
        // Keep only what may hold the start of the next status line (too
        // short to hold a whole one, counted already).
        answers.erase(0, answers.size() >= ok.size() ? answers.size() - ok.size() + 1 : 0);
    }
    writer.join();
    close(reader);
    EXPECT_EQ(answered, 300);

    // Ten thousand, never read: dropped once its answers wait untaken,
    // while a scrape next to it is answered.
    for (int i = 300; i < 10000; ++i)
        many += request;
    const int hog = Dial(Endpoint.Port());
    ASSERT_GE(hog, 0);
    std::thread flood([&] {
        size_t sent = 0;
        while (sent < many.size()) {
            const ssize_t n = send(hog, many.data() + sent, many.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
    });
    EXPECT_EQ(StatusOf(Get(Endpoint.Port(), "/metrics")), 200);
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (Endpoint.Connections() > 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Endpoint.Connections(), 0) << "the client that reads nothing is still served";
    shutdown(hog, SHUT_RDWR);
    flood.join();
    close(hog);
}

TEST(MetricsEndpointLimits, PastTheConnectionLimitTheOldestIdleConnectionIsClosed)
{
    TMetricsEndpoint endpoint(QStringLiteral("127.0.0.1:0"),
                              TMetricsEndpoint::TLimits{.MaxConnections = 4,
                                                        .RequestTimeoutMsec = 60000,
                                                        .KeepAliveIdleMsec = 60000});
    ASSERT_TRUE(endpoint.IsListening());
    endpoint.SetSnapshot(LockedSnapshot());
    // Four that send nothing, one after the other; the second has sent half
    // a request, so it is no longer idle.
    std::vector<int> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(Dial(endpoint.Port()));
        ASSERT_GE(held.back(), 0);
        if (i == 1) {
            ASSERT_EQ(write(held.back(), "GET /met", 8), 8);
        }
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (endpoint.Connections() < i + 1 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(endpoint.Connections(), 4);

    // A scrape takes the place of the oldest idle one; once it is gone and
    // one more idle connection came, another scrape takes the place of the
    // next oldest idle one. The one sending its request stays.
    const auto settle = [&endpoint](int open) {
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (endpoint.Connections() != open && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(10ms);
        return endpoint.Connections() == open;
    };
    EXPECT_EQ(StatusOf(Get(endpoint.Port(), "/metrics")), 200);
    ASSERT_TRUE(settle(3));
    held.push_back(Dial(endpoint.Port()));
    ASSERT_TRUE(settle(4));
    EXPECT_EQ(StatusOf(Get(endpoint.Port(), "/metrics")), 200);
    EXPECT_TRUE(ClosedByPeer(held[0], 20s));
    EXPECT_TRUE(ClosedByPeer(held[2], 20s));
    EXPECT_FALSE(ClosedByPeer(held[1], 100ms));
    EXPECT_FALSE(ClosedByPeer(held[3], 100ms));
    EXPECT_FALSE(ClosedByPeer(held[4], 100ms));
    for (int fd : held)
        close(fd);
}

TEST(MetricsEndpointLimits, ScrapesAreAnsweredWhileACrowdIdlesCrawlsAndPipelinesWithoutReading)
{
    RaiseOpenFilesLimit(8192);
    TMetricsEndpoint endpoint(QStringLiteral("127.0.0.1:0"));
    ASSERT_TRUE(endpoint.IsListening());
    endpoint.SetSnapshot(LockedSnapshot());
    (void)Get(endpoint.Port(), "/metrics");
    const long before = ResidentKiB();

    // A thousand idle connections that send nothing, a hundred that send a
    // byte a second, ten that pipeline ten thousand requests and read
    // nothing; each dials again when the endpoint lets it go.
    long during = 0;
    std::vector<double> scrapeMsec;
    int answered = 0;
    uint64_t pipelined = 0, closed = 0;
    {
        // The crowd stands for other machines: its own thread yields the CPU
        // (nice 19), so the scrapes measure the endpoint, not the crowd's
        // dialling. Instrumented builds run a tenth of it: every instruction
        // costs several times as much there.
        THttpCrowd::TShape shape;
#if defined(__SANITIZE_ADDRESS__)
        shape.Idle = 100;
        shape.Slow = 10;
        shape.Pipelining = 1;
#endif
        THttpCrowd crowd(endpoint.Port(), shape, 19);
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!crowd.AllDialled() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(crowd.AllDialled()) << crowd.Connected() << " connected";
        // Scrapes for a while, past the time the first idle and slow ones
        // are closed and dial again.
        for (int i = 0; i < 24; ++i) {
            const auto asked = std::chrono::steady_clock::now();
            if (StatusOf(Get(endpoint.Port(), "/metrics")) == 200)
                ++answered;
            scrapeMsec.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked)
                    .count());
            during = std::max(during, ResidentKiB());
            EXPECT_LE(endpoint.Connections(), TMetricsEndpoint::TLimits{}.MaxConnections);
            std::this_thread::sleep_for(250ms);
        }
        pipelined = crowd.PipelinedBytes();
        closed = crowd.ClosedByServer();
    }
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (endpoint.Connections() > 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
    const long after = ResidentKiB();

    std::sort(scrapeMsec.begin(), scrapeMsec.end());
    std::printf("[ figures  ] scrapes under the crowd: %d of %zu answered, median %.1f ms, "
                "slowest %.1f ms; RSS %ld kB before, %ld kB at most during, %ld kB after; "
                "%llu connections closed by the endpoint, %llu bytes pipelined\n",
                answered, scrapeMsec.size(), scrapeMsec[scrapeMsec.size() / 2], scrapeMsec.back(),
                before, during, after, static_cast<unsigned long long>(closed),
                static_cast<unsigned long long>(pipelined));
    EXPECT_EQ(answered, static_cast<int>(scrapeMsec.size()));
    EXPECT_GT(closed, 0u);
    EXPECT_GT(pipelined, 0u);
    EXPECT_EQ(endpoint.Connections(), 0);
    // Generous: what the endpoint's bounds allow (connections times their
    // buffers), not what a crowd that grows with its clients would take.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(during - before, 64 * 1024);
#endif
}

namespace {

// The console program, offscreen, with no bus, no journal and a settings
// folder of its own; its standard error is kept.
class TConsoleRun
{
public:
    TConsoleRun(const QStringList& arguments, const QString& settingsLine = QString())
    {
        if (!settingsLine.isEmpty()) {
            QDir(FFolder.path()).mkpath(QStringLiteral("config/varnel"));
            QFile settings(FFolder.path() + QStringLiteral("/config/varnel/varnel.conf"));
            if (settings.open(QIODevice::WriteOnly))
                settings.write((QStringLiteral("[General]\n") + settingsLine + u'\n').toUtf8());
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), FFolder.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), FFolder.path() + "/config");
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
        environment.remove(QStringLiteral("JOURNAL_STREAM"));
        environment.remove(QStringLiteral("QT_LOGGING_RULES"));
        FProcess.setProcessEnvironment(environment);
        FProcess.start(QStringLiteral(VARNEL_CONSOLE_BINARY), arguments);
    }
    ~TConsoleRun()
    {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.terminate();
            if (!FProcess.waitForFinished(30000))
                FProcess.kill();
            FProcess.waitForFinished(30000);
        }
    }
    TConsoleRun(const TConsoleRun&) = delete;
    TConsoleRun& operator=(const TConsoleRun&) = delete;

    QProcess& Process() { return FProcess; }
    // Standard error so far, waiting up to the deadline for `text` in it.
    QString ErrorsUntil(const QString& text, std::chrono::milliseconds deadline = 60s)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!FErrors.contains(text) && std::chrono::steady_clock::now() < end) {
            FProcess.waitForReadyRead(200);
            FErrors += QString::fromUtf8(FProcess.readAllStandardError());
            if (FProcess.state() == QProcess::NotRunning)
                break;
        }
        FErrors += QString::fromUtf8(FProcess.readAllStandardError());
        return FErrors;
    }

private:
    QTemporaryDir FFolder;
    QProcess FProcess;
    QString FErrors;
};

// A listening socket on the loopback that takes no one: its port is in use.
struct TTakenPort
{
    TTakenPort()
    {
        Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(Fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(Fd, 1) == 0 &&
            getsockname(Fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            Port = ntohs(address.sin_port);
    }
    ~TTakenPort() { close(Fd); }
    TTakenPort(const TTakenPort&) = delete;
    TTakenPort& operator=(const TTakenPort&) = delete;
    int Fd = -1;
    int Port = 0;
};

} // namespace

TEST(MetricsListenProgram, AnAddressThatCannotBeHadOnTheCommandLineStopsTheConsoleWithItsReason)
{
    TTakenPort taken;
    ASSERT_GT(taken.Port, 0);
    struct TCase
    {
        QString listen;
        QString reason;
    } cases[] = {
        {QStringLiteral("127.0.0.1:%1").arg(taken.Port), QStringLiteral("in use")},
        {QStringLiteral("localhost"), QStringLiteral("no HOST:PORT")},
    };
    for (const TCase& c : cases) {
        TConsoleRun console({QStringLiteral("--metrics-listen"), c.listen});
        ASSERT_TRUE(console.Process().waitForStarted(30000));
        const QString errors = console.ErrorsUntil(QStringLiteral("does not start"));
        if (console.Process().state() != QProcess::NotRunning) {
            EXPECT_TRUE(console.Process().waitForFinished(60000)) << c.listen.toStdString();
        }
        EXPECT_EQ(console.Process().exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(console.Process().exitCode(), MetricsListenFailedExitCode);
        EXPECT_TRUE(errors.contains(c.listen) && errors.contains(c.reason)) << errors.toStdString();
    }
}

TEST(MetricsListenProgram, TheSettingsFilesAddressThatCannotBeHadIsWarnedOfAndTheConsoleRunsOn)
{
    TTakenPort taken;
    ASSERT_GT(taken.Port, 0);
    const QString listen = QStringLiteral("127.0.0.1:%1").arg(taken.Port);
    TConsoleRun console({}, QStringLiteral("metrics-listen=") + listen);
    ASSERT_TRUE(console.Process().waitForStarted(30000));
    const QString errors = console.ErrorsUntil(QStringLiteral("runs without metrics"));
    EXPECT_TRUE(errors.contains(listen) && errors.contains(QStringLiteral("in use")))
        << errors.toStdString();
    EXPECT_EQ(console.Process().state(), QProcess::Running) << errors.toStdString();
    console.Process().terminate();
    EXPECT_TRUE(console.Process().waitForFinished(30000));
    EXPECT_EQ(console.Process().exitCode(), 0);
}

TEST(MetricsListenProgram, PortZerosChosenPortIsToldByDefaultAndServes)
{
    TConsoleRun console({QStringLiteral("--metrics-listen"), QStringLiteral("127.0.0.1:0")});
    ASSERT_TRUE(console.Process().waitForStarted(30000));
    const QRegularExpression served(QStringLiteral(R"(http://127\.0\.0\.1:([0-9]+)/metrics)"));
    QString errors;
    QRegularExpressionMatch match;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (!(match = served.match(errors)).hasMatch() && std::chrono::steady_clock::now() < end &&
           console.Process().state() == QProcess::Running)
        errors = console.ErrorsUntil(QStringLiteral("/metrics"), 1s);
    ASSERT_TRUE(match.hasMatch()) << errors.toStdString();
    const int port = match.captured(1).toInt();
    EXPECT_GT(port, 0);
    EXPECT_EQ(StatusOf(Get(port, "/metrics")), 200);
}

TEST(MetricsEndpointPrometheus, TwoEndpointsAreScrapedAsTwoDevices)
{
    if (TPrometheusProcess::Program().empty())
        GTEST_SKIP() << "prometheus is not installed (scripts/deps installs it)";
    TMetricsEndpoint first(QStringLiteral("127.0.0.1:0"));
    TMetricsEndpoint second(QStringLiteral("127.0.0.1:0"));
    ASSERT_TRUE(first.IsListening() && second.IsListening());
    TMetricsSnapshot a = LockedSnapshot();
    TMetricsSnapshot b = LockedSnapshot();
    b.Facts.Device = QStringLiteral("KWTP Bench 2");
    b.Facts.Locked = false;
    first.SetSnapshot(a);
    second.SetSnapshot(b);

    QTemporaryDir folder;
    TPrometheusProcess prometheus(folder.path().toStdString());
    ASSERT_TRUE(prometheus.Start({{first.Address().toStdString(), {{"laser", "blue"}}},
                                  {second.Address().toStdString(), {{"laser", "red"}}}}))
        << prometheus.Log();

    std::vector<TPrometheusProcess::TSeries> series;
    std::string raw;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
        if (prometheus.Query("varnel_locked * on(instance) group_left(device) varnel_info", series,
                             &raw) &&
            series.size() == 2)
            break;
        std::this_thread::sleep_for(250ms);
    }
    ASSERT_EQ(series.size(), 2u) << raw << prometheus.Log();
    std::map<std::string, double> lockedByDevice;
    for (const auto& s : series) {
        EXPECT_EQ(s.Labels.at("job"), "varnel");
        lockedByDevice[s.Labels.at("device") + "/" + s.Labels.at("laser")] = s.Value;
    }
    EXPECT_EQ(lockedByDevice["KWTP \"Bench\" 2\\a/blue"], 1);
    EXPECT_EQ(lockedByDevice["KWTP Bench 2/red"], 0);
}
