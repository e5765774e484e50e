#include "LinkLog.h"

Q_LOGGING_CATEGORY(VarnelLinkLog, "varnel.link", QtWarningMsg)
