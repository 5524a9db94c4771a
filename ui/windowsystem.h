// What the window needs to know of the window system underneath Qt.
#pragma once

#include <Qt>

#include <string>
#include <vector>

// The parts of the environment that decide which window system the player talks to.
struct SessionEnvironment {
    std::string qpaPlatform;     // QT_QPA_PLATFORM: the user's own choice of plug-in
    std::string waylandDisplay;  // WAYLAND_DISPLAY
    std::string sessionType;     // XDG_SESSION_TYPE
    std::string x11Display;      // DISPLAY: set where XWayland serves X11 clients
};

// Pure: the platform plug-in the player asks Qt for, or empty to leave Qt its own choice. In a
// Wayland session a client can neither place its window nor make it translucent, and a move
// by the pointer is up to the compositor; through XWayland the window behaves as on X11. A
// plug-in the user chose is kept, and without an X11 display there is nothing to fall back to.
std::string PlatformPluginFor(const SessionEnvironment& session);
SessionEnvironment CurrentSessionEnvironment();

// The command line handed to QApplication: the program's own arguments, plus "-platform xcb"
// when PlatformPluginFor says so. A command-line option, unlike an environment variable, is not
// inherited by the programs the player starts (the web browser, for one).
class QtArguments {
  public:
    QtArguments(int argc, char** argv, const SessionEnvironment& session);
    QtArguments(const QtArguments&) = delete;  // argv() points into this object
    QtArguments& operator=(const QtArguments&) = delete;
    int& argc() { return argc_; }
    char** argv() { return pointers_.data(); }

  private:
    std::vector<std::string> args_;
    std::vector<char*> pointers_;
    int argc_ = 0;
};

// Whether the window is a native Wayland surface. The compositor then shows the window's alpha
// (and neither a window shape nor a window opacity), places the window itself, and moves it with
// the pointer while any button is held once startSystemMove asks it to.
bool WindowShownWithItsAlpha();

// True while `button` is held down on the X server right now; true where that cannot be asked.
// A press that the program handles after its release has already happened reads false.
bool PointerButtonHeld(Qt::MouseButton button);
