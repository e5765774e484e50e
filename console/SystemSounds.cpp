// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/SystemSounds.h"

#include <QApplication>

#include <canberra.h>

#include <chrono>

namespace {

// One sound context for the whole run, opened on first use. A context that
// cannot be opened is not tried again: the beep serves from then on.
class TSoundContext
{
public:
    TSoundContext()
    {
        if (ca_context_create(&FContext) != CA_SUCCESS) {
            FContext = nullptr;
            return;
        }
        ca_context_change_props(FContext, CA_PROP_APPLICATION_NAME, "Varnel",
                                CA_PROP_APPLICATION_ID, "varnel", nullptr);
        if (ca_context_open(FContext) != CA_SUCCESS) {
            ca_context_destroy(FContext);
            FContext = nullptr;
        }
    }
    ~TSoundContext()
    {
        if (FContext)
            ca_context_destroy(FContext);
    }
    TSoundContext(const TSoundContext&) = delete;
    TSoundContext& operator=(const TSoundContext&) = delete;

    // Starts the event sound and returns at once; false when nothing plays.
    bool Play(const char* eventId)
    {
        return FContext &&
               ca_context_play(FContext, 0, CA_PROP_EVENT_ID, eventId, nullptr) == CA_SUCCESS;
    }

private:
    ca_context* FContext = nullptr;
};

} // namespace

void PlayDesktopSound(TSystemSound sound)
{
    static TSoundContext context;
    const char* eventId = sound == _snd_critical_stop ? "dialog-error" : "bell";
    if (!context.Play(eventId))
        QApplication::beep();
}

int64_t SteadyClockMsec()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TSystemSounds::TSystemSounds(TSystemSoundPlayer player, TSystemSoundClock clock)
    : FPlayer(std::move(player)), FClock(std::move(clock))
{
}

void TSystemSounds::Play(TSystemSound sound)
{
    const int64_t now = FClock ? FClock() : SteadyClockMsec();
    if (FLastStart && now - *FLastStart < SystemSoundIntervalMsec)
        return;
    FLastStart = now;
    if (FPlayer)
        FPlayer(sound);
    else
        PlayDesktopSound(sound);
}
