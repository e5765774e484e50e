// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/ConsoleLog.h"

#include <QByteArray>
#include <QList>

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>

Q_LOGGING_CATEGORY(VarnelConsoleLog, "varnel.console", QtWarningMsg)

namespace {

// systemd names the journal stream it connected in JOURNAL_STREAM, as
// "device:inode".
bool StandardErrorIsJournal()
{
    const QList<QByteArray> stream = qgetenv("JOURNAL_STREAM").split(':');
    struct stat status = {};
    if (stream.size() != 2 || fstat(STDERR_FILENO, &status) != 0)
        return false;
    bool deviceRead = false, inodeRead = false;
    const qulonglong device = stream[0].toULongLong(&deviceRead);
    const qulonglong inode = stream[1].toULongLong(&inodeRead);
    return deviceRead && inodeRead && device == status.st_dev && inode == status.st_ino;
}

void SendToJournal(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    int priority = LOG_DEBUG;
    switch (type) {
    case QtDebugMsg:
        priority = LOG_DEBUG;
        break;
    case QtInfoMsg:
        priority = LOG_INFO;
        break;
    case QtWarningMsg:
        priority = LOG_WARNING;
        break;
    case QtCriticalMsg:
        priority = LOG_ERR;
        break;
    case QtFatalMsg:
        priority = LOG_CRIT;
        break;
    }
    const QByteArray message = text.toUtf8();
    const char* category = context.category ? context.category : "default";
    if (sd_journal_send("MESSAGE=%s", message.constData(), "PRIORITY=%d", priority,
                        "SYSLOG_IDENTIFIER=varnel", "QT_CATEGORY=%s", category, nullptr) < 0)
        std::fprintf(stderr, "%s: %s\n", category, message.constData());
}

} // namespace

void LogToJournalWhenStartedThere()
{
    if (StandardErrorIsJournal())
        qInstallMessageHandler(SendToJournal);
}
