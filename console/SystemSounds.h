// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's alert sounds. A sound is started and never waited for, and
// at most one starts per SystemSoundIntervalMsec: a device that reports
// events faster than that cannot flood the desktop's sound system.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

enum TSystemSound
{
    _snd_default_alert, // the desktop's default alert ("bell")
    _snd_critical_stop  // the desktop's critical-stop alert ("dialog-error")
};

// After a sound has started, requests within this many milliseconds are
// dropped, whatever sound they ask for.
constexpr int64_t SystemSoundIntervalMsec = 250;

using TSystemSoundPlayer = std::function<void(TSystemSound)>;
using TSystemSoundClock = std::function<int64_t()>;

// Starts the sound through the desktop's sound theme; where no sound server
// answers, a plain beep does instead. Main thread only.
void PlayDesktopSound(TSystemSound sound);

// The steady clock in milliseconds.
int64_t SteadyClockMsec();

// Plays sounds through a player, at most one per interval of the clock.
class TSystemSounds
{
public:
    TSystemSounds(TSystemSoundPlayer player, TSystemSoundClock clock);

    void Play(TSystemSound sound);

private:
    TSystemSoundPlayer FPlayer;
    TSystemSoundClock FClock;
    // When the last sound started; none has yet.
    std::optional<int64_t> FLastStart;
};
