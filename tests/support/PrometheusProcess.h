// SPDX-License-Identifier: GPL-3.0-or-later
// Debian's Prometheus server as a child process, scraping the given targets
// every second, with its storage in a folder of its own; and its HTTP query
// API, for tests that want to see what a lab's monitoring would see.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace VarnelHttp {

class TPrometheusProcess
{
public:
    // One scrape target: its address ("127.0.0.1:PORT") and the labels
    // Prometheus gives its series (a laser's name, its room).
    struct TTarget
    {
        std::string Address;
        std::map<std::string, std::string> Labels;
    };

    // One series of an instant query: its labels and its value.
    struct TSeries
    {
        std::map<std::string, std::string> Labels;
        double Value = 0;
    };

    // folder: where its configuration, storage and log go.
    explicit TPrometheusProcess(std::string folder);
    ~TPrometheusProcess();
    TPrometheusProcess(const TPrometheusProcess&) = delete;
    TPrometheusProcess& operator=(const TPrometheusProcess&) = delete;

    // The prometheus program, or "" when it is not installed.
    static std::string Program();

    // Starts it on a free loopback port, scraping the targets as job
    // "varnel", and waits up to 60 s until it is ready.
    bool Start(const std::vector<TTarget>& targets);
    int Port() const { return FPort; }
    // The log it wrote so far, for a failure message.
    std::string Log() const;

    // Evaluates the query now; false when Prometheus did not answer it.
    bool Query(const std::string& promql, std::vector<TSeries>& result, std::string* raw = nullptr);

private:
    std::string FFolder;
    int FPort = 0;
    pid_t FPid = -1;
};

} // namespace VarnelHttp
