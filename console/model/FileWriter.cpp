// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/FileWriter.h"

#include "console/model/ConsoleLog.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How long the window's closing waits for a file system that does not answer.
constexpr int DestroyWaitMsec = 3000;

// Opens name for writing as a regular file only, emptied; the descriptor, or
// -1 with the reason. The open itself does not wait: a pipe without a reader
// fails at once instead of waiting for one, and anything that turns out not
// to be a regular file is let go before it is changed.
int OpenRegularFile(const QString& name, QString& error)
{
    const QByteArray path = QFile::encodeName(name);
    struct stat before = {};
    if (::stat(path.constData(), &before) == 0) {
        error = TFileWriter::NotRegularFileReason(before.st_mode);
        if (!error.isEmpty())
            return -1;
    }
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = qt_error_string(errno);
        return -1;
    }
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0)
        error = qt_error_string(errno);
    else
        error = TFileWriter::NotRegularFileReason(opened.st_mode);
    if (error.isEmpty()) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::ftruncate(fd, 0) != 0)
            error = qt_error_string(errno);
    }
    if (!error.isEmpty()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Lines reach the disk in blocks of about this size, and at each Flush.
constexpr qsizetype BlockSize = 64 * 1024;

class TFileWriterWorker : public QObject
{
    Q_OBJECT

public:
    void Open(const QString& name)
    {
        FFileName = name;
        QString error;
        FFd = OpenRegularFile(name, error);
        if (FFd < 0)
            Fail(error, false);
    }

    void Write(const QByteArray& bytes)
    {
        if (FFd < 0)
            return;
        FBuffer.append(bytes);
        if (FBuffer.size() >= BlockSize)
            Flush();
    }

    // Writes the buffer out; a short write goes on where it stopped.
    void Flush()
    {
        qsizetype done = 0;
        while (FFd >= 0 && done < FBuffer.size()) {
            const ssize_t written = ::write(FFd, FBuffer.constData() + done,
                                            static_cast<size_t>(FBuffer.size() - done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                Fail(qt_error_string(written < 0 ? errno : ENOSPC), true);
                break;
            }
            done += written;
        }
        FBuffer.clear();
    }

    void Close()
    {
        Flush();
        if (FFd >= 0) {
            const int fd = FFd;
            FFd = -1;
            if (::close(fd) != 0)
                Fail(qt_error_string(errno), true);
        }
        emit Finished();
    }

signals:
    void Failed(const QString& error, bool opened);
    void Finished();

private:
    void Fail(const QString& error, bool opened)
    {
        qCWarning(VarnelConsoleLog).noquote()
            << "Writing" << QDir::toNativeSeparators(FFileName) << "failed:" << error;
        // Nothing more is written; the file keeps what reached it.
        if (FFd >= 0) {
            ::close(FFd);
            FFd = -1;
        }
        FBuffer.clear();
        emit Failed(error, opened);
    }

    QString FFileName;
    int FFd = -1;
    QByteArray FBuffer;
};

} // namespace

TFileWriter::TFileWriter(const QString& fileName, QObject* parent)
    : QObject(parent), FFileName(fileName), FThread(new QThread), FWorker(new TFileWriterWorker)
{
    FThread->setObjectName(QStringLiteral("varnel-file"));
    auto* worker = static_cast<TFileWriterWorker*>(FWorker);
    worker->moveToThread(FThread);
    connect(worker, &TFileWriterWorker::Failed, this, &TFileWriter::Failed);
    connect(worker, &TFileWriterWorker::Finished, this, &TFileWriter::Finished);
    connect(FThread, &QThread::finished, worker, &QObject::deleteLater);
    FThread->start();
    QMetaObject::invokeMethod(
        worker, [worker, fileName] { worker->Open(fileName); }, Qt::QueuedConnection);
}

TFileWriter::~TFileWriter()
{
    if (!FClosing)
        Close();
    if (Wait(QDeadlineTimer(DestroyWaitMsec))) {
        delete FThread;
        return;
    }
    // The file system still holds the thread; it is left to end by itself
    // (or with the process), without anyone to tell.
    qCWarning(VarnelConsoleLog).noquote() << "Writing" << QDir::toNativeSeparators(FFileName)
                                          << "still waits for the file system; left behind";
    disconnect(FWorker, nullptr, this, nullptr);
    connect(FThread, &QThread::finished, FThread, &QObject::deleteLater);
}

void TFileWriter::Write(const QByteArray& bytes)
{
    auto* worker = static_cast<TFileWriterWorker*>(FWorker);
    QMetaObject::invokeMethod(
        worker, [worker, bytes] { worker->Write(bytes); }, Qt::QueuedConnection);
}

void TFileWriter::Flush()
{
    auto* worker = static_cast<TFileWriterWorker*>(FWorker);
    QMetaObject::invokeMethod(
        worker, [worker] { worker->Flush(); }, Qt::QueuedConnection);
}

void TFileWriter::WriteOut(const QByteArray& bytes)
{
    auto* worker = static_cast<TFileWriterWorker*>(FWorker);
    QMetaObject::invokeMethod(
        worker,
        [worker, bytes] {
            worker->Write(bytes);
            worker->Flush();
        },
        Qt::QueuedConnection);
}

void TFileWriter::Close()
{
    if (FClosing)
        return;
    FClosing = true;
    auto* worker = static_cast<TFileWriterWorker*>(FWorker);
    QThread* thread = FThread;
    QMetaObject::invokeMethod(
        worker,
        [worker, thread] {
            worker->Close();
            thread->quit();
        },
        Qt::QueuedConnection);
}

bool TFileWriter::Wait(QDeadlineTimer deadline)
{
    return FThread->wait(deadline);
}

QString TFileWriter::NotRegularFileReason(unsigned mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return QString();
    case S_IFDIR:
        return QStringLiteral("This is a folder, not a file.");
    case S_IFIFO:
        return QStringLiteral("This is a pipe (FIFO), not a regular file.");
    case S_IFCHR:
    case S_IFBLK:
        return QStringLiteral("This is a device, not a regular file.");
    case S_IFSOCK:
        return QStringLiteral("This is a socket, not a regular file.");
    default:
        return QStringLiteral("This is not a regular file.");
    }
}

#include "FileWriter.moc"
