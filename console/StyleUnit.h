// SPDX-License-Identifier: GPL-3.0-or-later
// The console's visual style "Light", carried with the console: the Fusion
// style with a light palette and a bundled style sheet.
#pragma once

#include <QString>

class QApplication;

// Applies the named style to the whole application. Returns false with a
// readable reason when the style cannot be applied; the application then
// keeps the toolkit's default look.
bool ApplyVisualStyle(QApplication& app, const QString& name, QString* error = nullptr);
