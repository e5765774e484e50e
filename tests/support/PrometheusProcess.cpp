// SPDX-License-Identifier: GPL-3.0-or-later
#include "PrometheusProcess.h"

#include "HttpClient.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace VarnelHttp {

TPrometheusProcess::TPrometheusProcess(std::string folder) : FFolder(std::move(folder)) {}

TPrometheusProcess::~TPrometheusProcess()
{
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(FPid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (waitpid(FPid, &status, WNOHANG) == 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, &status, 0);
        }
    }
}

std::string TPrometheusProcess::Program()
{
    for (const char* candidate : {"/usr/bin/prometheus", "/usr/local/bin/prometheus"})
        if (access(candidate, X_OK) == 0)
            return candidate;
    return {};
}

bool TPrometheusProcess::Start(const std::vector<TTarget>& targets)
{
    const std::string program = Program();
    if (program.empty())
        return false;
    mkdir(FFolder.c_str(), 0700);
    std::ofstream config(FFolder + "/prometheus.yml");
    config << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
              "scrape_configs:\n  - job_name: varnel\n    static_configs:\n";
    for (const TTarget& target : targets) {
        config << "      - targets: ['" << target.Address << "']\n";
        if (!target.Labels.empty()) {
            config << "        labels:\n";
            for (const auto& [name, value] : target.Labels)
                config << "          " << name << ": '" << value << "'\n";
        }
    }
    config.close();

    FPort = FreePort();
    const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(FPort);
    const std::string configFile = "--config.file=" + FFolder + "/prometheus.yml";
    const std::string storage = "--storage.tsdb.path=" + FFolder + "/data";
    std::vector<std::string> arguments = {program, configFile, storage, listen};
    std::vector<char*> argv;
    for (std::string& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = FFolder + "/prometheus.log";
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int error = posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        FPid = -1;
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            return false;
        }
        if (StatusOf(Get(FPort, "/-/ready")) == 200)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

std::string TPrometheusProcess::Log() const
{
    std::ifstream file(FFolder + "/prometheus.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool TPrometheusProcess::Query(const std::string& promql, std::vector<TSeries>& result,
                               std::string* raw)
{
    result.clear();
    const QByteArray query = QUrl::toPercentEncoding(QString::fromStdString(promql));
    const std::string answer = Get(FPort, "/api/v1/query?query=" + query.toStdString());
    const std::string body = BodyOf(answer);
    if (raw)
        *raw = body;
    if (StatusOf(answer) != 200)
        return false;
    const QJsonObject document = QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
    if (document.value(QStringLiteral("status")).toString() != QStringLiteral("success"))
        return false;
    const QJsonArray series =
        document.value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toArray();
    for (const QJsonValue& item : series) {
        TSeries one;
        const QJsonObject metric = item.toObject().value(QStringLiteral("metric")).toObject();
        for (auto it = metric.begin(); it != metric.end(); ++it)
            one.Labels[it.key().toStdString()] = it.value().toString().toStdString();
        one.Value =
            item.toObject().value(QStringLiteral("value")).toArray().at(1).toString().toDouble();
        result.push_back(std::move(one));
    }
    return true;
}

} // namespace VarnelHttp
