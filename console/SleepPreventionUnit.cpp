// SPDX-License-Identifier: GPL-3.0-or-later
#include "SleepPreventionUnit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QGuiApplication>
#include <QVariantMap>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/dpms.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace {

// A missing service must not hold up the start for long.
constexpr int BusTimeoutMs = 1500;

const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString PortalInhibit = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString PortalRequest = QStringLiteral("org.freedesktop.portal.Request");
// The portal's flag for "the session must not become idle".
constexpr uint32_t PortalIdle = 8;
const QString ScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString ScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString LoginService = QStringLiteral("org.freedesktop.login1");
const QString LoginPath = QStringLiteral("/org/freedesktop/login1");
const QString LoginManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString Who = QStringLiteral("Varnel console");
const QString Why = QStringLiteral("Laser controller console running");

struct TFree
{
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T> using TReply = std::unique_ptr<T, TFree>;

// Qt's own connection to the X server the window is on, or none when the
// console does not run on X11 (offscreen, Wayland) or the application is gone.
xcb_connection_t* XConnection()
{
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    return connection && !xcb_connection_has_error(connection) ? connection : nullptr;
}

// A request to an extension the server lacks would end the connection, and
// with it the window: every request below is sent only after this.
bool HasExtension(xcb_connection_t* connection, xcb_extension_t* extension)
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
    return data && data->present;
}

bool Succeeded(xcb_connection_t* connection, xcb_void_cookie_t cookie)
{
    TReply<xcb_generic_error_t> error(xcb_request_check(connection, cookie));
    return !error;
}

} // namespace

TSleepPrevention::~TSleepPrevention()
{
    Stop();
}

void TSleepPrevention::Start()
{
    QDBusConnection session = QDBusConnection::sessionBus();
    if (session.isConnected() && FPortalRequest.isEmpty()) {
        // No window yet to name: the request is for the whole application.
        QDBusMessage call = QDBusMessage::createMethodCall(PortalService, PortalPath, PortalInhibit,
                                                           QStringLiteral("Inhibit"));
        call << QString() << PortalIdle << QVariantMap{{QStringLiteral("reason"), Why}};
        const QDBusMessage reply = session.call(call, QDBus::Block, BusTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("o"))
            FPortalRequest = qvariant_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
    }
    if (session.isConnected() && !FDisplayInhibited) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            ScreenSaverService, ScreenSaverPath, ScreenSaverService, QStringLiteral("Inhibit"));
        call << Who << Why;
        const QDBusMessage reply = session.call(call, QDBus::Block, BusTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("u")) {
            FScreenSaverCookie = reply.arguments().constFirst().toUInt();
            FDisplayInhibited = true;
        }
    }

    QDBusConnection system = QDBusConnection::systemBus();
    if (system.isConnected() && !FSleepLock.isValid()) {
        QDBusMessage call = QDBusMessage::createMethodCall(LoginService, LoginPath, LoginManager,
                                                           QStringLiteral("Inhibit"));
        call << QStringLiteral("idle") << Who << Why << QStringLiteral("block");
        const QDBusMessage reply = system.call(call, QDBus::Block, BusTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("h"))
            FSleepLock = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    }

    StartX11();
}

void TSleepPrevention::Stop()
{
    if (!FPortalRequest.isEmpty()) {
        QDBusConnection session = QDBusConnection::sessionBus();
        if (session.isConnected()) {
            const QDBusMessage call = QDBusMessage::createMethodCall(
                PortalService, FPortalRequest, PortalRequest, QStringLiteral("Close"));
            session.call(call, QDBus::Block, BusTimeoutMs);
        }
        FPortalRequest.clear();
    }
    if (FDisplayInhibited) {
        QDBusConnection session = QDBusConnection::sessionBus();
        if (session.isConnected()) {
            QDBusMessage call =
                QDBusMessage::createMethodCall(ScreenSaverService, ScreenSaverPath,
                                               ScreenSaverService, QStringLiteral("UnInhibit"));
            call << FScreenSaverCookie;
            session.call(call, QDBus::Block, BusTimeoutMs);
        }
        FDisplayInhibited = false;
        FScreenSaverCookie = 0;
    }
    // The login manager holds the lock for as long as our copy of the
    // descriptor is open; dropping it releases the lock.
    FSleepLock = QDBusUnixFileDescriptor();

    StopX11();
}

void TSleepPrevention::StartX11()
{
    xcb_connection_t* connection = XConnection();
    if (!connection)
        return;

    // Suspending needs version 1.1 of the extension. The server lifts the
    // suspension by itself when this connection closes, however the console
    // ends.
    if (!FScreenSaverSuspended && HasExtension(connection, &xcb_screensaver_id)) {
        const TReply<xcb_screensaver_query_version_reply_t> version(
            xcb_screensaver_query_version_reply(
                connection, xcb_screensaver_query_version(connection, 1, 1), nullptr));
        if (version && (version->server_major_version > 1 ||
                        (version->server_major_version == 1 && version->server_minor_version >= 1)))
            FScreenSaverSuspended =
                Succeeded(connection, xcb_screensaver_suspend_checked(connection, 1));
    }

    // DPMS is one setting of the whole server: switched off only when it is
    // on, and switched on again at the end only then.
    if (!FDpmsDisabled && HasExtension(connection, &xcb_dpms_id)) {
        const TReply<xcb_dpms_capable_reply_t> capable(
            xcb_dpms_capable_reply(connection, xcb_dpms_capable(connection), nullptr));
        const TReply<xcb_dpms_info_reply_t> info(
            xcb_dpms_info_reply(connection, xcb_dpms_info(connection), nullptr));
        if (capable && capable->capable && info && info->state)
            FDpmsDisabled = Succeeded(connection, xcb_dpms_disable_checked(connection));
    }
}

void TSleepPrevention::StopX11()
{
    if (!FScreenSaverSuspended && !FDpmsDisabled)
        return;
    // Without the connection the suspension has already ended with it; DPMS
    // cannot be given back then.
    if (xcb_connection_t* connection = XConnection()) {
        if (FScreenSaverSuspended)
            Succeeded(connection, xcb_screensaver_suspend_checked(connection, 0));
        if (FDpmsDisabled)
            Succeeded(connection, xcb_dpms_enable_checked(connection));
    }
    FScreenSaverSuspended = false;
    FDpmsDisabled = false;
}
