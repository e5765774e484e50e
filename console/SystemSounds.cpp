#include "console/SystemSounds.h"

#include <QApplication>

#include <canberra.h>

#include <chrono>
#include <optional>

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

void PlayDesktopSound(TSystemSound sound)
{
    static TSoundContext context;
    const char* eventId = sound == _snd_critical_stop ? "dialog-error" : "bell";
    if (!context.Play(eventId))
        QApplication::beep();
}

TSystemSoundPlayer& Player()
{
    static TSystemSoundPlayer player;
    return player;
}

TSystemSoundClock& Clock()
{
    static TSystemSoundClock clock;
    return clock;
}

int64_t NowMsec()
{
    if (Clock())
        return Clock()();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// When the last sound started; none has yet.
std::optional<int64_t>& LastStart()
{
    static std::optional<int64_t> last;
    return last;
}

} // namespace

void PlaySystemSound(TSystemSound sound)
{
    const int64_t now = NowMsec();
    if (LastStart() && now - *LastStart() < SystemSoundIntervalMsec)
        return;
    LastStart() = now;
    if (Player())
        Player()(sound);
    else
        PlayDesktopSound(sound);
}

void SetSystemSoundPlayer(TSystemSoundPlayer player)
{
    Player() = std::move(player);
    LastStart().reset();
}

void SetSystemSoundClock(TSystemSoundClock clock)
{
    Clock() = std::move(clock);
    LastStart().reset();
}
