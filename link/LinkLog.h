// SPDX-License-Identifier: GPL-3.0-or-later
// The link's log category, "varnel.link": bridges found, opened and
// configured, bridges that cannot be used, and links that fail. Warnings
// only by default; QT_LOGGING_RULES="varnel.link.debug=true" shows the rest.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(VarnelLinkLog)
