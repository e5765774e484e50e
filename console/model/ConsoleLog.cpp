// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/ConsoleLog.h"

#include "console/model/JournalWriter.h"

#include <QByteArray>
#include <QList>

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

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

// The log's own way into the journal, so that a journal that stops reading
// never holds up the thread that logs. Messages come from any thread until
// the process ends: a writer lives as long (one for each socket the tests
// give, kept where a thread still logging finds it).
std::atomic<TJournalWriter*> LogWriter{nullptr};
std::mutex LogWritersLock;

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
    TJournalWriter* writer = LogWriter;
    if (type != QtFatalMsg && writer) {
        writer->Write({{"MESSAGE", message},
                       {"PRIORITY", QByteArray::number(priority)},
                       {"SYSLOG_IDENTIFIER", "varnel"},
                       {"QT_CATEGORY", category}});
        return;
    }
    // The program ends with this message: it goes at once, whatever it takes.
    if (sd_journal_send("MESSAGE=%s", message.constData(), "PRIORITY=%d", priority,
                        "SYSLOG_IDENTIFIER=varnel", "QT_CATEGORY=%s", category, nullptr) < 0)
        std::fprintf(stderr, "%s: %s\n", category, message.constData());
}

// At the program's end what the log wrote still goes out, within a second.
void SendTheLastMessages()
{
    if (TJournalWriter* writer = LogWriter)
        (void)writer->WaitUntilSent(1000);
}

} // namespace

void LogToJournalWhenStartedThere()
{
    if (StandardErrorIsJournal())
        LogToJournalAt("/run/systemd/journal/socket");
}

void LogToJournalAt(const std::string& socketPath)
{
    {
        std::lock_guard lock(LogWritersLock);
        static auto* writers = new std::map<std::string, TJournalWriter*>;
        TJournalWriter*& writer = (*writers)[socketPath];
        if (!writer) {
            TJournalWriterOptions options;
            options.SocketPath = socketPath;
            // Every message the categories let through: a debug log asked
            // for is not thinned out.
            options.Pace.reset();
            writer = new TJournalWriter(options);
        }
        if (!LogWriter)
            std::atexit(SendTheLastMessages);
        LogWriter = writer;
    }
    qInstallMessageHandler(SendToJournal);
}
