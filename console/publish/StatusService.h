// SPDX-License-Identifier: GPL-3.0-or-later
// The console's status on the session bus, for lab software that wants to
// know whether the laser is locked: service org.varnel.Console1, object
// /org/varnel/Console1, interface org.varnel.Console1 with read-only
// properties and no methods, so nothing on the bus can command the
// controller. Changes go out as the standard PropertiesChanged signal of
// org.freedesktop.DBus.Properties, coalesced to at most one per 100 ms.
//
// The object is served from a thread of its own, on a bus connection of its
// own: however many calls a client sends, the window's thread answers none
// of them. That thread reads a snapshot of the facts, which the window's
// thread refreshes under a mutex whenever they change. It takes one message
// at a time off its connection, so calls not yet handled wait in the bus and
// the kernel, not in this process; calls that want no answer are dropped
// unread, and while the bus has not taken a bounded number of answers no
// call is read, so the memory a flood costs stays bounded.
//
// One console per bus offers it: a second console finds the name taken and
// runs without the interface, says so in the log (category varnel.console)
// and tells the window, naming the process that holds the name. The service
// pings itself through the bus every few seconds: a bus that goes away, or a
// connection that no longer answers, is left and joined again.
#pragma once

#include "console/model/LockHistory.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class QThread;
class TStatusBusWorker;
struct TFactsSnapshot;

// Where the service stands on its bus.
enum TStatusBusState
{
    _bs_starting,   // not yet tried
    _bs_no_bus,     // no bus to connect to, or the bus went away
    _bs_published,  // this console holds the name and the object is on the bus
    _bs_name_taken, // another process holds the name
};

class TStatusService : public QObject
{
    Q_OBJECT

public:
    static const QString ServiceName;
    static const QString ObjectPath;
    static const QString InterfaceName;
    // The shortest time between two PropertiesChanged signals.
    static constexpr int MinSignalIntervalMsec = 100;
    // How often a service that had a bus looks whether it still has it (it
    // pings itself through the bus), and connects again once it is back.
    static constexpr int BusCheckIntervalMsec = 2000;
    // A connection that does not answer that ping (or does not finish its
    // start) within this time is left, and the service connects again.
    static constexpr int BusAnswerTimeoutMsec = 10000;
    // Answers the bus has not taken yet, at most: with as many waiting, the
    // service reads no further call until the bus takes some.
    static constexpr uint64_t MaxQueuedAnswers = 4096;

    // Publishes the facts of the history on the bus at the address (the
    // session bus when empty), for as long as this object lives. The
    // history must outlive it. The connection is made on the service's
    // thread; State() tells when it is done.
    explicit TStatusService(const TLockHistory& history, const QString& busAddress = QString(),
                            QObject* parent = nullptr);
    ~TStatusService() override;

    TStatusService(const TStatusService&) = delete;
    TStatusService& operator=(const TStatusService&) = delete;

    TStatusBusState State() const { return FState; }
    // True when this console holds the name and the object is on the bus.
    bool IsPublished() const { return FState == _bs_published; }
    // A line for the window when the name is held by another process (which
    // one, as far as the bus tells); empty otherwise. Details has the whole
    // story, for a tool tip.
    QString Problem() const { return FProblem; }
    QString ProblemDetails() const { return FProblemDetails; }

signals:
    // State(), Problem() or ProblemDetails() changed.
    void StateChanged();

private:
    void TakeState(int state, const QString& problem, const QString& details);

    std::shared_ptr<TFactsSnapshot> FSnapshot;
    std::unique_ptr<TStatusBusWorker> FWorker;
    QThread* FThread = nullptr;
    TStatusBusState FState = _bs_starting;
    QString FProblem;
    QString FProblemDetails;
};
