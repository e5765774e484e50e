// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/ProtocolLog.h"

Q_LOGGING_CATEGORY(VarnelProtocolLog, "varnel.protocol", QtWarningMsg)
