// SPDX-License-Identifier: GPL-3.0-or-later
// A text file written on a thread of its own. Its open, its writes and its
// close never hold up the thread that asks for them (the window's): a pipe
// nobody reads, a device or a folder is refused at the open, and a file on a
// mount that stops answering holds up only this writer's thread.
//
// The caller hands over bytes; they are written in the order given, through
// the file's buffer, until the first failure, after which nothing more is
// written. What happened comes back as queued signals on the caller's thread.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

class QThread;

class TFileWriter : public QObject
{
    Q_OBJECT

public:
    // Starts the writer's thread, which creates the file or empties an
    // existing regular file of that name.
    explicit TFileWriter(const QString& fileName, QObject* parent = nullptr);
    // Closes the file if Close was not asked for, and waits for the thread
    // as Wait does with a few seconds' deadline.
    ~TFileWriter() override;

    TFileWriter(const TFileWriter&) = delete;
    TFileWriter& operator=(const TFileWriter&) = delete;

    const QString& FileName() const { return FFileName; }
    // Appends bytes to the file's buffer.
    void Write(const QByteArray& bytes);
    // Writes the buffer out.
    void Flush();
    // Write and Flush in one call, which wakes the writer's thread once.
    void WriteOut(const QByteArray& bytes);
    // Writes the buffer out and closes the file; Finished follows. Nothing
    // may be written after it.
    void Close();
    // Waits until the file is closed and the thread has ended, at most until
    // the deadline; false when the thread is still held up by the file
    // system. Close must have been asked for.
    bool Wait(QDeadlineTimer deadline);

    // Why a regular file could not be opened, or why a name that is no
    // regular file is refused, as the operator is told; empty when it may be.
    static QString NotRegularFileReason(unsigned mode);

signals:
    // The first failure: the open (opened false), a write, a flush or the
    // close. Nothing is written after it.
    void Failed(const QString& error, bool opened);
    // The file has been closed after Close (or was never opened).
    void Finished();

private:
    QString FFileName;
    QThread* FThread = nullptr;
    QObject* FWorker = nullptr;
    bool FClosing = false;
};
