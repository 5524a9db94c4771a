// Which window system the player asks Qt for.
#include "ui/windowsystem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(WindowSystem, WaylandSessionsGoThroughXWaylandUnlessTheUserChose) {
    // QT_QPA_PLATFORM, WAYLAND_DISPLAY, XDG_SESSION_TYPE, DISPLAY.
    EXPECT_EQ(PlatformPluginFor({"", "wayland-0", "wayland", ":0"}), "xcb");
    EXPECT_EQ(PlatformPluginFor({"", "wayland-0", "", ":0"}), "xcb");
    EXPECT_EQ(PlatformPluginFor({"", "", "wayland", ":0"}), "xcb");
    EXPECT_EQ(PlatformPluginFor({"wayland", "wayland-0", "wayland", ":0"}), "");
    EXPECT_EQ(PlatformPluginFor({"offscreen", "wayland-0", "wayland", ":0"}), "");
    EXPECT_EQ(PlatformPluginFor({"", "", "x11", ":0"}), "");
    EXPECT_EQ(PlatformPluginFor({"", "wayland-0", "wayland", ""}), "");  // no XWayland
}

TEST(WindowSystem, QtArgumentsAddThePluginAfterTheProgramsOwn) {
    std::string program = "velmora", playlist = "/tmp/a b.pls";
    char* argv[] = {program.data(), playlist.data(), nullptr};
    QtArguments wayland(2, argv, {"", "wayland-0", "wayland", ":0"});
    ASSERT_EQ(wayland.argc(), 4);
    EXPECT_EQ(std::vector<std::string>(wayland.argv(), wayland.argv() + 4),
              (std::vector<std::string>{"velmora", "/tmp/a b.pls", "-platform", "xcb"}));
    EXPECT_EQ(wayland.argv()[4], nullptr);
    QtArguments x11(2, argv, {"", "", "x11", ":0"});
    ASSERT_EQ(x11.argc(), 2);
    EXPECT_EQ(std::string(x11.argv()[1]), "/tmp/a b.pls");
    EXPECT_EQ(x11.argv()[2], nullptr);
}
