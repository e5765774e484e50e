// The desktop's alert sounds. A sound is started and never waited for, and
// at most one starts per SystemSoundIntervalMsec: a device that reports
// events faster than that cannot flood the desktop's sound system.
#pragma once

#include <cstdint>
#include <functional>

enum TSystemSound
{
    _snd_default_alert, // the desktop's default alert ("bell")
    _snd_critical_stop  // the desktop's critical-stop alert ("dialog-error")
};

// After a sound has started, requests within this many milliseconds are
// dropped, whatever sound they ask for.
constexpr int64_t SystemSoundIntervalMsec = 250;

// Starts the sound through the desktop's sound theme; where no sound server
// answers, a plain beep does instead. Main thread only.
void PlaySystemSound(TSystemSound sound);

// Replaces what PlaySystemSound does, e.g. to record the requests; an empty
// function brings back the desktop's sounds. The interval applies to the
// replacement too.
using TSystemSoundPlayer = std::function<void(TSystemSound)>;
void SetSystemSoundPlayer(TSystemSoundPlayer player);

// Replaces the monotonic clock the interval is measured on (milliseconds);
// an empty function brings it back. Either setter forgets the last sound.
using TSystemSoundClock = std::function<int64_t()>;
void SetSystemSoundClock(TSystemSoundClock clock);
