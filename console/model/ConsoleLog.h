// SPDX-License-Identifier: GPL-3.0-or-later
// The console's log category, "varnel.console": connect and disconnect, lost
// links, bridges the operator cannot use, the data log opened, failed and
// closed, and the status service. Warnings only by default;
// QT_LOGGING_RULES="varnel.console.debug=true" shows the rest.
#pragma once

#include <QLoggingCategory>

#include <string>

Q_DECLARE_LOGGING_CATEGORY(VarnelConsoleLog)

// Started from the desktop, the program's standard error already ends in the
// system journal, under whatever name the desktop gave it. From then on every
// message goes to the journal itself instead, as "varnel" (the name the lock
// history uses) with its category in the field QT_CATEGORY. Elsewhere (a
// terminal, a pipe) messages stay on standard error. The messages go from a
// thread of their own (JournalWriter.h): a journal that stops reading holds
// up no thread that logs; what it does not take is dropped and counted. A
// fatal message goes at once.
void LogToJournalWhenStartedThere();
// The same, to the journal listening at this socket; for the tests.
void LogToJournalAt(const std::string& socketPath);
