// SPDX-License-Identifier: GPL-3.0-or-later
// The console's log category, "varnel.console": connect and disconnect, lost
// links, bridges the operator cannot use, the data log opened, failed and
// closed, and the status service. Warnings only by default;
// QT_LOGGING_RULES="varnel.console.debug=true" shows the rest.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(VarnelConsoleLog)

// Started from the desktop, the program's standard error already ends in the
// system journal, under whatever name the desktop gave it. From then on every
// message goes to the journal itself instead, as "varnel" (the name the lock
// history uses) with its category in the field QT_CATEGORY. Elsewhere (a
// terminal, a pipe) messages stay on standard error.
void LogToJournalWhenStartedThere();
