#include "ui/windowsystem.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

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
