// SPDX-License-Identifier: GPL-3.0-or-later
// A journal of the test's own, for the tests of the journal's writer: a
// datagram socket bound in a temporary directory, read only when the test
// says so, and the records of the journal's native protocol it receives.
#pragma once

#include "console/model/LockHistory.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <cstdint>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Bound by Listen, gone (socket and path) with Close.
class TStandInJournal
{
public:
    TStandInJournal() : FPath(FDirectory.path().toStdString() + "/journal") {}
    ~TStandInJournal() { Close(); }
    TStandInJournal(const TStandInJournal&) = delete;
    TStandInJournal& operator=(const TStandInJournal&) = delete;

    const std::string& Path() const { return FPath; }
    bool Listen()
    {
        FSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, FPath.c_str(), sizeof address.sun_path - 1);
        return FSocket >= 0 &&
               ::bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    void Close()
    {
        if (FSocket >= 0)
            ::close(FSocket);
        FSocket = -1;
        ::unlink(FPath.c_str());
    }
    // The next datagram, waiting at most this long; empty when none came.
    QByteArray Receive(int msec)
    {
        pollfd ready = {FSocket, POLLIN, 0};
        if (::poll(&ready, 1, msec) <= 0)
            return {};
        QByteArray datagram(65536, '\0');
        const ssize_t got = ::recv(FSocket, datagram.data(), datagram.size(), MSG_DONTWAIT);
        datagram.resize(got > 0 ? got : 0);
        return datagram;
    }

private:
    QTemporaryDir FDirectory;
    std::string FPath;
    int FSocket = -1;
};

// A datagram of the journal's native protocol as the record it carries.
inline TJournalRecord ParseDatagram(const QByteArray& datagram)
{
    TJournalRecord record;
    qsizetype at = 0;
    while (at < datagram.size()) {
        const qsizetype end = datagram.indexOf('\n', at);
        if (end < 0)
            break;
        const QByteArray line = datagram.mid(at, end - at);
        const qsizetype equals = line.indexOf('=');
        if (equals >= 0) {
            record.emplace_back(line.left(equals), line.mid(equals + 1));
            at = end + 1;
            continue;
        }
        uint64_t length = 0;
        for (int i = 7; i >= 0; --i)
            length = length << 8 | static_cast<uint8_t>(datagram[end + 1 + i]);
        record.emplace_back(line, datagram.mid(end + 9, static_cast<qsizetype>(length)));
        at = end + 9 + static_cast<qsizetype>(length) + 1;
    }
    return record;
}
