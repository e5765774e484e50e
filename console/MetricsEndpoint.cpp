// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/MetricsEndpoint.h"

#include "console/model/ConsoleLog.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <civetweb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The niceness of the server's threads, the window's being 0.
constexpr int ServerThreadNice = 10;

// civetweb's process-wide set-up, once.
void InitLibrary()
{
    static const bool done = [] {
        mg_init_library(0);
        return true;
    }();
    (void)done;
}

// Whether the connection stays open after the answer, as civetweb decides
// it when keep-alive is on: an HTTP/1.1 request that does not ask to close,
// or an HTTP/1.0 one that asks to keep it.
bool KeepsConnection(const mg_connection* connection)
{
    const mg_request_info* request = mg_get_request_info(connection);
    const char* option = mg_get_header(connection, "Connection");
    if (option)
        return QByteArray(option).toLower().contains("keep-alive");
    return request->http_version && std::strcmp(request->http_version, "1.1") == 0;
}

// Sends the answer, head and body, in one write: with its length, so that a
// client that keeps the connection knows where it ends, and the Connection
// option that says what happens to the connection afterwards.
void Reply(mg_connection* connection, int status, const char* reason, const char* extraHeaders,
           const QByteArray& body, bool keep)
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
    mg_write(connection, answer.constData(), static_cast<size_t>(answer.size()));
}

} // namespace

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
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty())
        host = QStringLiteral("127.0.0.1");
    unsigned char address[16];
    const QByteArray hostBytes = host.toLatin1();
    if (inet_pton(AF_INET, hostBytes.constData(), address) != 1 &&
        inet_pton(AF_INET6, hostBytes.constData(), address) != 1) {
        error = QStringLiteral("\"%1\" is no IP address").arg(host);
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
    const bool v6 = host.contains(QLatin1Char(':'));
    const std::string ports =
        (v6 ? "[" + host.toStdString() + "]:" : host.toStdString() + ":") + std::to_string(port);
    const std::string threads = std::to_string(limits.Threads);
    const std::string queue = std::to_string(limits.ConnectionQueue);
    const std::string backlog = std::to_string(limits.ListenBacklog);
    const std::string size = std::to_string(limits.MaxRequestBytes);
    const std::string timeout = std::to_string(limits.RequestTimeoutMsec);
    const std::string idle = std::to_string(limits.KeepAliveIdleMsec);
    const char* options[] = {"listening_ports",
                             ports.c_str(),
                             "num_threads",
                             threads.c_str(),
                             "connection_queue",
                             queue.c_str(),
                             "listen_backlog",
                             backlog.c_str(),
                             "max_request_size",
                             size.c_str(),
                             "request_timeout_ms",
                             timeout.c_str(),
                             "enable_keep_alive",
                             "yes",
                             "keep_alive_timeout_ms",
                             idle.c_str(),
                             "decode_url",
                             "no",
                             nullptr};

    mg_callbacks callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    // civetweb's own messages (a client gone, a request too large) go to
    // the console's log at debug level instead of standard error.
    callbacks.log_message = [](const mg_connection*, const char* message) {
        qCDebug(VarnelConsoleLog, "metrics endpoint: %s", message);
        return 1;
    };
    // The server's threads yield to the window's: a burst of clients on a
    // busy machine makes the scrapes slower, not the window.
    callbacks.init_thread = [](const mg_context*, int) -> void* {
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), ServerThreadNice);
        return nullptr;
    };

    InitLibrary();
    char errorText[256] = {0};
    mg_init_data init;
    std::memset(&init, 0, sizeof init);
    init.callbacks = &callbacks;
    init.user_data = this;
    init.configuration_options = options;
    mg_error_data errorData;
    std::memset(&errorData, 0, sizeof errorData);
    errorData.text = errorText;
    errorData.text_buffer_size = sizeof errorText;
    FContext = mg_start2(&init, &errorData);
    if (!FContext) {
        FError = QStringLiteral("cannot listen at %1: %2")
                     .arg(QString::fromStdString(ports), QString::fromLocal8Bit(errorText));
        return;
    }
    mg_set_request_handler(FContext, "/", &TMetricsEndpoint::HandleRequest, this);

    mg_server_port served[4];
    std::memset(served, 0, sizeof served);
    const int count = mg_get_server_ports(FContext, 4, served);
    FPort = count > 0 ? served[0].port : port;
    FAddress = (v6 ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2")).arg(host).arg(FPort);
}

TMetricsEndpoint::~TMetricsEndpoint()
{
    if (FContext)
        mg_stop(FContext);
}

void TMetricsEndpoint::SetSnapshot(const TMetricsSnapshot& snapshot)
{
    std::lock_guard lock(FMutex);
    FSnapshot = snapshot;
}

int TMetricsEndpoint::HandleRequest(mg_connection* connection, void* self)
{
    return static_cast<TMetricsEndpoint*>(self)->Answer(connection);
}

int TMetricsEndpoint::Answer(mg_connection* connection)
{
    const mg_request_info* request = mg_get_request_info(connection);
    const char* path = request->local_uri_raw ? request->local_uri_raw : request->local_uri;
    if (!path || std::strcmp(path, "/metrics") != 0) {
        // A refusal ends the connection: what a client sent after it (a
        // body, a pipelined request) is never read as a request.
        mg_disable_connection_keep_alive(connection);
        Reply(connection, 404, "Not Found", "", "not found: the metrics are at /metrics\n", false);
        return 404;
    }
    if (!request->request_method || std::strcmp(request->request_method, "GET") != 0) {
        mg_disable_connection_keep_alive(connection);
        Reply(connection, 405, "Method Not Allowed", "Allow: GET\r\n", "only GET is served\n",
              false);
        return 405;
    }
    TMetricsSnapshot snapshot;
    {
        std::lock_guard lock(FMutex);
        snapshot = FSnapshot;
    }
    Reply(connection, 200, "OK", "", FormatMetrics(snapshot), KeepsConnection(connection));
    ++FScrapes;
    return 200;
}
