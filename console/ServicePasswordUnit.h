// SPDX-License-Identifier: GPL-3.0-or-later
// Recognises the service access code in the stream of typed characters.
#pragma once

#include <QChar>

#include <cstdint>

class TServicePassword
{
public:
    // True when key completes the code. The code must be typed as eight
    // consecutive characters: any other character starts the count again,
    // and the character that broke the sequence does not count as the
    // first one of a new attempt.
    bool IsPasswordOK(QChar key);

private:
    int32_t FCharIndex = 0;
};
