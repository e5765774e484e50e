#include "protocol/ProtocolLog.h"

Q_LOGGING_CATEGORY(VarnelProtocolLog, "varnel.protocol", QtWarningMsg)
