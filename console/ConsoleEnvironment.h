// SPDX-License-Identifier: GPL-3.0-or-later
// What the window takes from the world around it, handed to it in one object
// when it is made: the operator's dialogs, the
// alert sounds and the clock they are paced by, and the pace of the window's
// own timers. The program uses TConsoleEnvironment::Default(); a test starts
// from the default and replaces the members it needs to.
#pragma once

#include "console/SystemSounds.h"
#include "console/model/ConsoleSession.h"

#include <QString>

#include <functional>
#include <memory>

class QWidget;
class TJournalSink;

// Milliseconds.
struct TConsoleTimings
{
    // The simple menu's connection timer: a search for the controller each tick.
    int ConnectionTick = 1000;
    // After that search, the pause before the connect.
    int AutoConnectPause = 100;
    // After the connect, the pause before each of the two tuning enables.
    int TuningEnablePause = 50;
    // A chart repaints at most once per this; samples arriving in between
    // are drawn together, at the latest twice this after the last repaint.
    int ChartRefresh = 50;
    // The data log hands its lines to the file in batches about this far
    // apart; a line waits at most twice this.
    int LogFlush = 250;
};

struct TConsoleEnvironment
{
    // The operator's save-file dialog; an empty name means cancelled. An
    // existing file is replaced without a further question.
    using TAskSaveFileName =
        std::function<QString(QWidget* parent, const QString& proposedName, const QString& filter,
                              const QString& defaultSuffix)>;
    // The operator's error box.
    using TReportToOperator =
        std::function<void(QWidget* parent, const QString& title, const QString& text)>;

    TAskSaveFileName AskSaveFileName;
    TReportToOperator ReportToOperator;
    // Starts an alert sound, and the monotonic clock (milliseconds) the
    // sounds' interval is measured on.
    TSystemSoundPlayer PlaySound;
    TSystemSoundClock SoundClock;
    TConsoleTimings Timings;
    // The device search runs on a thread of its own and its result comes
    // back to the window as a queued call, so that a bridge that does not
    // answer cannot freeze the window. False runs it in place, on the main
    // thread: only for tests whose fake line answers at once.
    bool SearchOnOwnThread = true;
    // Where the lock history goes; none writes nothing.
    std::shared_ptr<TJournalSink> Journal;

    // The desktop's file dialog and message box, the real bridges, the
    // desktop's sounds on the steady clock, the timings above and the
    // system journal.
    static TConsoleEnvironment Default();

    // What the console session takes from it: the timings of the link, the
    // trace and the log, where the search runs, and the journal.
    TConsoleSessionSettings SessionSettings() const;
};
