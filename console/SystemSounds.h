// The desktop's alert sounds. A sound is started and never waited for.
#pragma once

#include <functional>

enum TSystemSound
{
    _snd_default_alert, // the desktop's default alert ("bell")
    _snd_critical_stop  // the desktop's critical-stop alert ("dialog-error")
};

// Starts the sound through the desktop's sound theme; where no sound server
// answers, a plain beep does instead. Main thread only.
void PlaySystemSound(TSystemSound sound);

// Replaces what PlaySystemSound does, e.g. to record the requests; an empty
// function brings back the desktop's sounds.
using TSystemSoundPlayer = std::function<void(TSystemSound)>;
void SetSystemSoundPlayer(TSystemSoundPlayer player);
