// SPDX-License-Identifier: GPL-3.0-or-later
// The protocol's log category, "varnel.protocol": readers started and
// stopped, frames with a bad checksum (counted; each one only at debug level)
// and links that stopped answering. Warnings only by default;
// QT_LOGGING_RULES="varnel.protocol.debug=true" shows the rest.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(VarnelProtocolLog)
