// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps the display and the machine awake while the console runs. It asks
// every keeper of idleness that a Linux desktop may have, since which of them
// acts depends on the desktop:
// - the desktop portal's Inhibit, for idle (session bus): GNOME, KDE and the
//   desktops whose portal has an inhibit back end;
// - the freedesktop screen saver (session bus): KDE, Xfce, LXQt and others;
// - the login manager's "idle" lock (system bus). Only idle: an operator who
//   suspends the machine on purpose must not need an administrator for it;
// - on X11 (the xcb platform), the X server itself: its screen saver is
//   suspended (MIT-SCREEN-SAVER) and its DPMS switched off (DPMS), the two
//   that blank a plain X11 session with no desktop service at all.
// Where a bus, a service or an extension is missing the console runs normally
// and nothing is reported.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QString>

#include <cstdint>

class TSleepPrevention
{
public:
    TSleepPrevention() = default;
    // Gives back what is still held; the application must still exist.
    ~TSleepPrevention();

    TSleepPrevention(const TSleepPrevention&) = delete;
    TSleepPrevention& operator=(const TSleepPrevention&) = delete;

    // Makes every request; each one that is not answered is simply skipped.
    // The X server is asked only once the GUI application exists.
    void Start();
    // Withdraws what Start obtained, while the application still exists (the
    // X server's DPMS is switched on again through its connection). Safe to
    // call more than once.
    void Stop();

    bool PortalInhibited() const { return !FPortalRequest.isEmpty(); }
    bool DisplayInhibited() const { return FDisplayInhibited; }
    // The login manager's lock on idle sleep.
    bool SleepInhibited() const { return FSleepLock.isValid(); }
    bool ScreenSaverSuspended() const { return FScreenSaverSuspended; }
    bool DpmsDisabled() const { return FDpmsDisabled; }

private:
    void StartX11();
    void StopX11();

    // The portal's request object; closing it ends the inhibition.
    QString FPortalRequest;
    // The screen saver's cookie may be any number, 0 included.
    bool FDisplayInhibited = false;
    uint32_t FScreenSaverCookie = 0;
    QDBusUnixFileDescriptor FSleepLock;
    bool FScreenSaverSuspended = false;
    // Set only when DPMS was on and this switched it off.
    bool FDpmsDisabled = false;
};
