// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/publish/MetricsEndpoint.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <unordered_map>
#include <vector>

namespace {

// The niceness of the server's thread, the window's being 0.
constexpr int ServerThreadNice = 10;
// How often the deadlines of the connections are looked at.
constexpr int SweepIntervalMsec = 200;
// New connections taken at a time, between the other events.
constexpr int AcceptBatch = 64;
// A crowd of at least this many connections, gone, gives its memory back.
constexpr size_t TrimAfterConnections = 64;
// Open files the process keeps for other things than the endpoint.
constexpr rlim_t OtherFiles = 256;

// A request's head, as far as the endpoint cares.
struct TRequest
{
    QByteArray Method;
    QByteArray Path;
    bool Keep = false;    // the connection stays open after the answer
    bool HasBody = false; // Content-Length > 0 or Transfer-Encoding
};

enum class THeadParse
{
    Incomplete,
    Complete,
    Malformed,
};

// The end of the head at the start of `in` (past its empty line), or -1
// while it is incomplete. Lines end in CRLF or in a bare LF.
qsizetype HeadEnd(const QByteArray& in)
{
    qsizetype at = 0;
    while ((at = in.indexOf('\n', at)) >= 0) {
        ++at;
        if (at < in.size() && in[at] == '\n')
            return at + 1;
        if (at + 1 < in.size() && in[at] == '\r' && in[at + 1] == '\n')
            return at + 2;
        if (at >= in.size() - 1)
            return -1;
    }
    return -1;
}

bool IsToken(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.' || c == '!' || c == '#' || c == '$' || c == '%' ||
              c == '&' || c == '\'' || c == '*' || c == '+' || c == '^' || c == '`' || c == '|' ||
              c == '~'))
            return false;
    return true;
}

// Parses the head (without its empty line).
THeadParse ParseHead(const QByteArray& head, TRequest& request)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    while (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    if (lines.isEmpty())
        return THeadParse::Malformed;
    const QList<QByteArray> parts = lines.front().split(' ');
    if (parts.size() != 3 || !IsToken(parts[0]) || parts[1].isEmpty())
        return THeadParse::Malformed;
    const QByteArray& version = parts[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return THeadParse::Malformed;
    request.Method = parts[0];
    const qsizetype query = parts[1].indexOf('?');
    request.Path = query < 0 ? parts[1] : parts[1].left(query);
    bool keep = version == "HTTP/1.1";
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !IsToken(line.left(colon)))
            return THeadParse::Malformed;
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed().toLower();
        if (name == "connection") {
            for (const QByteArray& option : value.split(',')) {
                const QByteArray o = option.trimmed();
                if (o == "close")
                    keep = false;
                else if (o == "keep-alive")
                    keep = true;
            }
        } else if (name == "content-length") {
            bool ok = false;
            const qlonglong length = value.toLongLong(&ok);
            if (!ok || length < 0)
                return THeadParse::Malformed;
            request.HasBody = request.HasBody || length > 0;
        } else if (name == "transfer-encoding") {
            request.HasBody = true;
        }
    }
    request.Keep = keep;
    return THeadParse::Complete;
}

// The answer, head and body, in one piece: with its length, so that a client
// that keeps the connection knows where it ends, and the Connection option
// that says what happens to the connection afterwards.
QByteArray Answer(int status, const char* reason, const char* extraHeaders, const QByteArray& body,
                  bool keep)
{
    QByteArray answer = QByteArray("HTTP/1.1 ") + QByteArray::number(status) + ' ' + reason +
                        "\r\n"
                        "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                        "Content-Length: " +
                        QByteArray::number(body.size()) +
                        "\r\n"
                        "Cache-Control: no-store\r\n" +
                        extraHeaders +
                        (keep ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
    answer += body;
    return answer;
}

QString HostPort(const QHostAddress& address, int port)
{
    return (address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2")
                                                                : QStringLiteral("%1:%2"))
        .arg(address.toString())
        .arg(port);
}

bool IsHostName(const QString& host)
{
    if (host.isEmpty() || host.size() > 253 || host.startsWith(QLatin1Char('-')) ||
        host.startsWith(QLatin1Char('.')))
        return false;
    for (QChar c : host)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') &&
            c != QLatin1Char('.'))
            return false;
    return true;
}

} // namespace

// ---- the server, on its own thread

class TMetricsEndpoint::TServer : public QObject
{
public:
    TServer(TMetricsEndpoint& endpoint, const TLimits& limits)
        : FEndpoint(endpoint), FLimits(limits)
    {
        FClock.start();
        FSweep.setInterval(SweepIntervalMsec);
        QObject::connect(&FSweep, &QTimer::timeout, this, [this] { Sweep(); });
    }

    ~TServer() override
    {
        for (auto& [socket, connection] : FOpen) {
            socket->disconnect(this);
            socket->abort();
            delete socket;
        }
        FOpen.clear();
        FEndpoint.FConnections = 0;
    }

    TServer(const TServer&) = delete;
    TServer& operator=(const TServer&) = delete;

    // Listens at every address on the same port; false with the reason when
    // one of them cannot be had. An address the machine lacks (IPv6
    // switched off, for a host name that also names one) is left out while
    // another one listens.
    bool Listen(const QList<QHostAddress>& addresses, int port, QStringList& listening,
                int& chosenPort, QString& error)
    {
        QStringList missing;
        for (const QHostAddress& address : addresses) {
            auto server = std::make_unique<QTcpServer>();
            server->setListenBacklogSize(FLimits.ListenBacklog);
            if (!server->listen(address, static_cast<quint16>(port))) {
                if (server->serverError() == QAbstractSocket::SocketAddressNotAvailableError &&
                    addresses.size() > 1) {
                    missing << HostPort(address, port) + QStringLiteral(": ") +
                                   server->errorString();
                    continue;
                }
                error = QStringLiteral("cannot listen at %1: %2")
                            .arg(HostPort(address, port), server->errorString());
                FServers.clear();
                return false;
            }
            port = server->serverPort(); // the others take the port chosen for the first
            QTcpServer* raw = server.get();
            // The server takes a few connections at a time, and they are
            // taken on from the event loop: a crowd that dials again as
            // fast as it is let go keeps the loop busy with accepting no
            // longer than that, and the requests that have arrived, the
            // deadlines and the closes get their turn in between.
            server->setMaxPendingConnections(AcceptBatch);
            QObject::connect(raw, &QTcpServer::newConnection, this, [this] {
                if (FAcceptQueued)
                    return;
                FAcceptQueued = true;
                QMetaObject::invokeMethod(
                    this, [this] { Accept(); }, Qt::QueuedConnection);
            });
            QObject::connect(raw, &QTcpServer::acceptError, this,
                             [this, raw](QAbstractSocket::SocketError) { AcceptFailed(*raw); });
            listening << HostPort(address, port);
            FServers.push_back(std::move(server));
        }
        if (FServers.empty()) {
            error = QStringLiteral("cannot listen at any address: %1").arg(missing.join(u"; "));
            return false;
        }
        chosenPort = port;
        FSweep.start();
        return true;
    }

private:
    struct TConnection
    {
        uint64_t Id = 0;
        QByteArray In;           // received, not answered yet
        qint64 Since = 0;        // when the wait for the (next) request began
        qint64 UnsentSince = -1; // since when answers wait untaken
        bool Kept = false;       // answered once and kept open
        bool Closing = false;    // the last answer is out or going; nothing more is read
        bool ShutDown = false;   // our side of the connection is closed
    };

    qint64 Now() const { return FClock.elapsed(); }

    // The connection, unless it was dropped meanwhile (a socket let go may
    // leave its address to a new one: the id tells them apart).
    TConnection* Find(QTcpSocket* socket, uint64_t id)
    {
        const auto it = FOpen.find(socket);
        return it != FOpen.end() && it->second.Id == id ? &it->second : nullptr;
    }

    void Accept()
    {
        FAcceptQueued = false;
        for (const auto& server : FServers)
            Accept(*server);
    }

    void Accept(QTcpServer& server)
    {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            if (static_cast<int>(FOpen.size()) >= FLimits.MaxConnections && !MakeRoom()) {
                socket->abort();
                delete socket;
                continue;
            }
            socket->setParent(nullptr);
            // What is received waits in the kernel beyond this, not here.
            socket->setReadBufferSize(FLimits.MaxRequestBytes);
            TConnection& connection = FOpen[socket];
            connection.Id = ++FLastId;
            connection.Since = Now();
            const uint64_t id = connection.Id;
            QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, id] {
                if (TConnection* c = Find(socket, id))
                    Process(socket, *c);
            });
            // The rest come back through the event loop: a write made while
            // answering may report its progress or its failure at once, and
            // the answering must not find its connection gone or re-entered.
            QObject::connect(
                socket, &QTcpSocket::bytesWritten, this,
                [this, socket, id] {
                    if (TConnection* c = Find(socket, id))
                        Written(socket, *c);
                },
                Qt::QueuedConnection);
            QObject::connect(
                socket, &QTcpSocket::disconnected, this,
                [this, socket, id] {
                    if (Find(socket, id))
                        Drop(socket);
                },
                Qt::QueuedConnection);
            QObject::connect(
                socket, &QTcpSocket::errorOccurred, this,
                [this, socket, id](QAbstractSocket::SocketError) {
                    if (Find(socket, id))
                        Drop(socket);
                },
                Qt::QueuedConnection);
            FEndpoint.FConnections = static_cast<int>(FOpen.size());
            FPeak = std::max(FPeak, FOpen.size());
            if (socket->bytesAvailable() > 0)
                Process(socket, connection);
        }
    }

    // Out of descriptors (or another passing failure): room is made and
    // accepting goes on shortly, rather than never again.
    void AcceptFailed(QTcpServer& server)
    {
        (void)MakeRoom();
        QTimer::singleShot(100, this, [&server] { server.resumeAccepting(); });
    }

    // Closes one connection to make room for a new one: the one idle the
    // longest, else one that is done (its last answer out, only waiting for
    // the client to close), else the one that has been sending its request
    // the longest; false when every connection is being answered. An idle
    // one whose request has arrived meanwhile (the server was busy) is kept,
    // and the next one looked at.
    bool MakeRoom()
    {
        for (int attempt = 0; attempt < 8; ++attempt) {
            enum
            {
                Done,
                Idle,
                Sending,
                Kinds
            };
            QTcpSocket* oldest[Kinds] = {};
            qint64 since[Kinds] = {};
            for (const auto& [socket, connection] : FOpen) {
                int kind = Sending;
                if (connection.ShutDown)
                    kind = Done;
                else if (connection.Closing || connection.UnsentSince >= 0)
                    continue;
                else if (connection.In.isEmpty())
                    kind = Idle;
                if (!oldest[kind] || connection.Since < since[kind]) {
                    oldest[kind] = socket;
                    since[kind] = connection.Since;
                }
            }
            if (QTcpSocket* idle = oldest[Idle]) {
                if (idle->bytesAvailable() == 0 && !Waiting(*idle)) {
                    Drop(idle);
                    return true;
                }
                // Its request has come: answered now if already read, else
                // at its notice; either way it is no longer the one idle
                // the longest.
                TConnection& connection = FOpen[idle];
                Process(idle, connection);
                if (connection.In.isEmpty() && !connection.Closing && connection.UnsentSince < 0)
                    connection.Since = Now();
                continue;
            }
            if (oldest[Done]) {
                // Its answer may still be on its way: let go without a reset.
                Drop(oldest[Done], true);
                return true;
            }
            if (oldest[Sending]) {
                Drop(oldest[Sending]);
                return true;
            }
            return false;
        }
        return false;
    }

    // Whether bytes from the client wait in the kernel, not read yet: a
    // connection that brought its request is not idle, however busy the
    // server was.
    static bool Waiting(const QTcpSocket& socket)
    {
        int waiting = 0;
        return ::ioctl(static_cast<int>(socket.socketDescriptor()), FIONREAD, &waiting) == 0 &&
               waiting > 0;
    }

    // Closes the connection and forgets it: at once (a reset), or, when its
    // last answer may still be on its way, after what the client sent is
    // read, so that the close sends no reset that could overtake the answer.
    void Drop(QTcpSocket* socket, bool gently = false)
    {
        if (FOpen.erase(socket) == 0)
            return;
        socket->disconnect(this);
        if (gently) {
            (void)socket->readAll();
            socket->close();
        }
        socket->abort();
        socket->deleteLater();
        FEndpoint.FConnections = static_cast<int>(FOpen.size());
    }

    // Answers what has arrived whole, as long as the client takes the
    // answers.
    void Process(QTcpSocket* socket, TConnection& connection)
    {
        // A connection the system has ended already waits for its notice.
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
        for (;;) {
            if (connection.Closing) {
                // Read and let go: what follows a refusal is never a request.
                (void)socket->readAll();
                return;
            }
            if (socket->bytesToWrite() > FLimits.MaxUnsentBytes) {
                socket->flush();
                if (socket->bytesToWrite() > FLimits.MaxUnsentBytes)
                    return; // the rest waits until the client reads (Written)
            }
            const qint64 room = FLimits.MaxRequestBytes - connection.In.size();
            if (room > 0 && socket->bytesAvailable() > 0)
                connection.In += socket->read(room);
            if (socket->state() != QAbstractSocket::ConnectedState)
                return; // reset by the client while reading: its notice follows
            const qsizetype end = HeadEnd(connection.In);
            if (end < 0) {
                if (connection.In.size() >= FLimits.MaxRequestBytes)
                    Refuse(socket, connection, 431, "Request Header Fields Too Large",
                           "the request is too large\n");
                break;
            }
            TRequest request;
            const THeadParse parsed = ParseHead(connection.In.left(end), request);
            connection.In.remove(0, end);
            if (parsed != THeadParse::Complete) {
                Refuse(socket, connection, 400, "Bad Request", "bad request\n");
                break;
            }
            if (request.Path != "/metrics") {
                // A refusal ends the connection: what a client sent after it
                // (a body, a pipelined request) is never read as a request.
                Refuse(socket, connection, 404, "Not Found",
                       "not found: the metrics are at /metrics\n");
                break;
            }
            if (request.Method != "GET") {
                Refuse(socket, connection, 405, "Method Not Allowed", "only GET is served\n",
                       "Allow: GET\r\n");
                break;
            }
            if (request.HasBody) {
                Refuse(socket, connection, 400, "Bad Request", "a GET takes no body\n");
                break;
            }
            Send(socket, connection, Answer(200, "OK", "", FEndpoint.Page(), request.Keep));
            ++FEndpoint.FScrapes;
            if (!request.Keep) {
                Close(socket, connection);
                break;
            }
            connection.Kept = true;
            connection.Since = Now();
        }
        socket->flush();
    }

    void Refuse(QTcpSocket* socket, TConnection& connection, int status, const char* reason,
                const char* body, const char* extraHeaders = "")
    {
        Send(socket, connection, Answer(status, reason, extraHeaders, body, false));
        Close(socket, connection);
    }

    void Send(QTcpSocket* socket, TConnection& connection, const QByteArray& answer)
    {
        socket->write(answer);
        if (connection.UnsentSince < 0)
            connection.UnsentSince = Now();
    }

    // Ends the connection once its last answer is out: our side is shut,
    // and what the client still sends is read and dropped until it closes
    // its side too (closing at once, with its bytes unread, would reset the
    // connection and could lose the answer on the client's side).
    void Close(QTcpSocket* socket, TConnection& connection)
    {
        connection.Closing = true;
        connection.In.clear();
        connection.Since = Now();
        (void)socket->readAll();
        socket->flush();
        ShutDownWhenSent(socket, connection);
    }

    void ShutDownWhenSent(QTcpSocket* socket, TConnection& connection)
    {
        if (!connection.Closing || connection.ShutDown || socket->bytesToWrite() > 0)
            return;
        connection.ShutDown = true;
        connection.Since = Now();
        ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    }

    void Written(QTcpSocket* socket, TConnection& connection)
    {
        if (socket->bytesToWrite() > 0)
            return;
        connection.UnsentSince = -1;
        if (connection.Closing) {
            ShutDownWhenSent(socket, connection);
            return;
        }
        connection.Since = Now();
        // Pipelined requests held back while answers waited.
        if (!connection.In.isEmpty() || socket->bytesAvailable() > 0)
            Process(socket, connection);
    }

    // Closes the connections past their deadlines.
    void Sweep()
    {
        const qint64 now = Now();
        std::vector<QTcpSocket*> late;
        for (const auto& [socket, connection] : FOpen) {
            if (socket->bytesToWrite() > 0) {
                if (connection.UnsentSince >= 0 &&
                    now - connection.UnsentSince > FLimits.UnsentTimeoutMsec)
                    late.push_back(socket); // the client takes none of its answers
                continue;
            }
            const int limit = connection.Closing || connection.Kept ? FLimits.KeepAliveIdleMsec
                                                                    : FLimits.RequestTimeoutMsec;
            if (now - connection.Since > limit)
                late.push_back(socket);
        }
        for (QTcpSocket* socket : late)
            Drop(socket);

        // After a crowd has gone, what its connections took goes back to
        // the system (the thread's own heap keeps freed memory otherwise);
        // the sockets let go are freed by the time of the next sweep.
        if (FTrimDue) {
            FTrimDue = false;
            ::malloc_trim(0);
        }
        if (FPeak >= TrimAfterConnections && FOpen.size() <= FPeak / 4) {
            FTrimDue = true;
            FPeak = FOpen.size();
        }
    }

    TMetricsEndpoint& FEndpoint;
    const TLimits FLimits;
    QElapsedTimer FClock;
    QTimer FSweep;
    std::vector<std::unique_ptr<QTcpServer>> FServers;
    std::unordered_map<QTcpSocket*, TConnection> FOpen;
    uint64_t FLastId = 0;
    bool FAcceptQueued = false;
    size_t FPeak = 0;
    bool FTrimDue = false;
};

class TMetricsEndpoint::TThread : public QThread
{
public:
    struct TStarted
    {
        bool Ok = false;
        QStringList Listening;
        int Port = 0;
        QString Error;
    };

    TThread(TMetricsEndpoint& endpoint, const TLimits& limits, QList<QHostAddress> addresses,
            int port)
        : FEndpoint(endpoint), FLimits(limits), FAddresses(std::move(addresses)), FPort(port)
    {
        setObjectName(QStringLiteral("varnel-metrics"));
    }

    // Starts the thread and waits until it listens or failed to.
    TStarted Begin()
    {
        std::future<TStarted> started = FStarted.get_future();
        start();
        return started.get();
    }

protected:
    void run() override
    {
        // The server yields to the window's thread: a burst of clients on a
        // busy machine makes the scrapes slower, not the window.
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), ServerThreadNice);
        TStarted started;
        {
            TServer server(FEndpoint, FLimits);
            started.Ok =
                server.Listen(FAddresses, FPort, started.Listening, started.Port, started.Error);
            const bool ok = started.Ok;
            FStarted.set_value(std::move(started));
            if (ok)
                exec();
        }
        // Sockets let go by the server end here, in their own thread.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private:
    TMetricsEndpoint& FEndpoint;
    const TLimits FLimits;
    const QList<QHostAddress> FAddresses;
    const int FPort;
    std::promise<TStarted> FStarted;
};

// ---- the endpoint

bool TMetricsEndpoint::ParseListenAddress(const QString& text, QString& host, int& port,
                                          QString& error)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0) {
        error = QStringLiteral("\"%1\" is no HOST:PORT").arg(text);
        return false;
    }
    host = text.left(colon);
    const QString portText = text.mid(colon + 1);
    bool ok = false;
    port = portText.toInt(&ok);
    if (!ok || port < 0 || port > 65535 || portText.isEmpty() || !portText.front().isDigit()) {
        error = QStringLiteral("\"%1\" is no port").arg(portText);
        return false;
    }
    const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
    if (bracketed)
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty() && !bracketed)
        host = QStringLiteral("127.0.0.1");
    const QHostAddress address(host);
    if (bracketed && address.protocol() != QAbstractSocket::IPv6Protocol) {
        error = QStringLiteral("\"[%1]\" is no IPv6 address").arg(host);
        return false;
    }
    if (address.isNull() && !IsHostName(host)) {
        error = QStringLiteral("\"%1\" is no IP address or host name").arg(host);
        return false;
    }
    return true;
}

TMetricsEndpoint::TMetricsEndpoint(const QString& listen, TLimits limits)
{
    QString host;
    int port = 0;
    if (!ParseListenAddress(listen, host, port, FError))
        return;
    QList<QHostAddress> addresses;
    if (const QHostAddress literal(host); !literal.isNull()) {
        addresses << literal;
    } else {
        const QHostInfo found = QHostInfo::fromName(host);
        for (const QHostAddress& address : found.addresses())
            if (!addresses.contains(address))
                addresses << address;
        if (addresses.isEmpty()) {
            FError = QStringLiteral("cannot listen at %1: the host name \"%2\" is not known (%3)")
                         .arg(listen, host, found.errorString());
            return;
        }
    }
    for (const QHostAddress& address : addresses) {
        if (address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6) {
            FEveryInterface = true;
            for (const QHostAddress& one : QNetworkInterface::allAddresses())
                if (one.protocol() == address.protocol() && !FInterfaces.contains(one.toString()))
                    FInterfaces << one.toString();
        }
    }

    // Room for the connections among the process's open files.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        const rlim_t wanted = static_cast<rlim_t>(limits.MaxConnections) + OtherFiles;
        if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
            files.rlim_cur =
                files.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, files.rlim_max);
            (void)::setrlimit(RLIMIT_NOFILE, &files);
            (void)::getrlimit(RLIMIT_NOFILE, &files);
        }
        if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted)
            limits.MaxConnections =
                std::max(16, static_cast<int>(files.rlim_cur) - static_cast<int>(OtherFiles));
    }
    FThread = std::make_unique<TThread>(*this, limits, addresses, port);
    TThread::TStarted started = FThread->Begin();
    if (!started.Ok) {
        FThread->wait();
        FThread.reset();
        FError = started.Error;
        FEveryInterface = false;
        FInterfaces.clear();
        return;
    }
    FListening = true;
    FAddresses = started.Listening;
    FAddress = FAddresses.front();
    FPort = started.Port;
}

TMetricsEndpoint::~TMetricsEndpoint()
{
    if (FThread) {
        FThread->quit();
        FThread->wait();
    }
}

void TMetricsEndpoint::SetSnapshot(const TMetricsSnapshot& snapshot)
{
    std::lock_guard lock(FMutex);
    FSnapshot = snapshot;
}

QByteArray TMetricsEndpoint::Page()
{
    TMetricsSnapshot snapshot;
    {
        std::lock_guard lock(FMutex);
        snapshot = FSnapshot;
    }
    return FormatMetrics(snapshot);
}

TMetricsNotice DescribeMetricsEndpoint(const TMetricsEndpoint& endpoint, const QString& listen)
{
    TMetricsNotice notice;
    if (!endpoint.IsListening()) {
        notice.Warning = true;
        notice.Text = QStringLiteral("No metrics: %1").arg(endpoint.Error());
        notice.Details =
            QStringLiteral("The metrics endpoint asked for (--metrics-listen %1) serves nothing: "
                           "%2. Prometheus will report this console as down.")
                .arg(listen, endpoint.Error());
        return notice;
    }
    QStringList urls;
    for (const QString& address : endpoint.Addresses())
        urls << QStringLiteral("http://%1/metrics").arg(address);
    if (endpoint.ServesEveryInterface()) {
        notice.Warning = true;
        notice.Text = QStringLiteral("Metrics on every interface, port %1: %2")
                          .arg(endpoint.Port())
                          .arg(endpoint.Interfaces().join(QStringLiteral(", ")));
        notice.Details =
            QStringLiteral("The metrics endpoint (%1) serves every interface of this machine: "
                           "%2. Anyone who reaches port %3 on one of them can read the laser's "
                           "state; name one address to serve only that one.")
                .arg(urls.join(QStringLiteral(", ")),
                     endpoint.Interfaces().join(QStringLiteral(", ")))
                .arg(endpoint.Port());
        return notice;
    }
    notice.Text = QStringLiteral("Metrics at %1").arg(urls.join(QStringLiteral(", ")));
    notice.Details = QStringLiteral("The metrics endpoint serves %1 (asked for: %2).")
                         .arg(urls.join(QStringLiteral(", ")), listen);
    return notice;
}
