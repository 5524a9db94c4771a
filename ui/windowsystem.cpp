#include "ui/windowsystem.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

constexpr const char* kX11Plugin = "xcb";

}  // namespace

std::string PlatformPluginFor(const SessionEnvironment& session) {
    if (!session.qpaPlatform.empty()) return {};
    const bool wayland = !session.waylandDisplay.empty() || session.sessionType == "wayland";
    if (!wayland || session.x11Display.empty()) return {};
    return kX11Plugin;
}

SessionEnvironment CurrentSessionEnvironment() {
    return {Env("QT_QPA_PLATFORM"), Env("WAYLAND_DISPLAY"), Env("XDG_SESSION_TYPE"),
            Env("DISPLAY")};
}

QtArguments::QtArguments(int argc, char** argv, const SessionEnvironment& session)
    : args_(argv, argv + argc) {
    const std::string plugin = PlatformPluginFor(session);
    if (!plugin.empty()) {
        args_.push_back("-platform");
        args_.push_back(plugin);
    }
    for (std::string& arg : args_) pointers_.push_back(arg.data());
    pointers_.push_back(nullptr);
    argc_ = int(args_.size());
}

bool WindowShownWithItsAlpha() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

bool PointerButtonHeld(Qt::MouseButton button) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return true;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen) return true;
    std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> reply(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, screen->root), nullptr),
        &std::free);
    if (!reply) return true;
    uint16_t mask = 0;
    switch (button) {
        case Qt::LeftButton:
            mask = XCB_KEY_BUT_MASK_BUTTON_1;
            break;
        case Qt::MiddleButton:
            mask = XCB_KEY_BUT_MASK_BUTTON_2;
            break;
        case Qt::RightButton:
            mask = XCB_KEY_BUT_MASK_BUTTON_3;
            break;
        default:
            return true;
    }
    return (reply->mask & mask) != 0;
}
