// Keeps the display and the machine awake while the console runs: asks the
// desktop's screen saver (session bus) and the login manager (system bus) to
// hold off. Where a bus or a service is missing the console runs normally and
// nothing is reported.
#pragma once

#include <QDBusUnixFileDescriptor>

#include <cstdint>

class TSleepPrevention
{
public:
    TSleepPrevention() = default;
    ~TSleepPrevention();

    TSleepPrevention(const TSleepPrevention&) = delete;
    TSleepPrevention& operator=(const TSleepPrevention&) = delete;

    // Makes both requests; each one that is not answered is simply skipped.
    void Start();
    // Withdraws what Start obtained. Safe to call more than once.
    void Stop();

    bool DisplayInhibited() const { return FDisplayInhibited; }
    bool SleepInhibited() const { return FSleepLock.isValid(); }

private:
    // The screen saver's cookie may be any number, 0 included.
    bool FDisplayInhibited = false;
    uint32_t FScreenSaverCookie = 0;
    QDBusUnixFileDescriptor FSleepLock;
};
