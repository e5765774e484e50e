// The console's status on the session bus, for lab software that wants to
// know whether the laser is locked: service org.varnel.Console1, object
// /org/varnel/Console1, interface org.varnel.Console1 with read-only
// properties and no methods, so nothing on the bus can command the
// controller. Changes go out as the standard PropertiesChanged signal of
// org.freedesktop.DBus.Properties, coalesced to at most one per 100 ms.
//
// One console per bus offers it: a second console finds the name taken and
// runs without the interface, and says so in the log (category varnel.console).
#pragma once

#include "console/ConsoleLog.h"
#include "console/LockHistory.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QTimer>

class TStatusService : public QObject
{
    Q_OBJECT

public:
    static const QString ServiceName;
    static const QString ObjectPath;
    static const QString InterfaceName;
    // The shortest time between two PropertiesChanged signals.
    static constexpr int MinSignalIntervalMsec = 100;

    // Publishes the facts of the history on the bus, for as long as this
    // object lives. The history must outlive it.
    explicit TStatusService(const TLockHistory& history,
                            QDBusConnection bus = QDBusConnection::sessionBus(),
                            QObject* parent = nullptr);
    ~TStatusService() override;

    TStatusService(const TStatusService&) = delete;
    TStatusService& operator=(const TStatusService&) = delete;

    // True when this console holds the name and the object is on the bus.
    bool IsPublished() const { return FPublished; }

private:
    void FactsChanged();
    void SendChanges();

    const TLockHistory& FHistory;
    QDBusConnection FBus;
    QObject* FObject = nullptr;
    bool FPublished = false;
    // The facts as the last signal (or the start) told them.
    TConsoleFacts FAnnounced;
    QTimer FSignalTimer;
    QElapsedTimer FSinceSignal;
};
