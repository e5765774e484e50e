// SPDX-License-Identifier: GPL-3.0-or-later
// The colours the window shows states in: the simple menu's status panel and
// the service panel's Set buttons.
#pragma once

#include <QColor>

// Locked; also a Set button's caption right after its value was sent.
inline const QColor OkColor(0x00, 0x80, 0x00);
// Tuning error, and the peak check that gave up.
inline const QColor ErrorColor(0xFF, 0x00, 0x00);
// The controller waits for the operator to choose a peak.
inline const QColor WaitForUserColor(0x00, 0x00, 0xFF);
// The status panel blinks between this and the button face while the
// controller is busy.
inline const QColor BusyBlinkColor(0xFF, 0xFF, 0x00);
// The peak list's reference row.
inline const QColor ReferenceRowColor(0xC0, 0xC0, 0xC0);
