// The real program under Xvfb with openbox: placement, shape, opacity, title, the window's
// buttons and links, moving by the skin, and the start-up failure boxes; and the program in a
// Wayland session (weston, headless, with XWayland).
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "fixtures.h"

namespace {

using fx::Millis;

// Runs a helper program on the current display and returns its output.
std::string Cmd(const std::vector<std::string>& argv) {
    fx::ChildProcess p;
    if (!p.start(argv)) return {};
    p.wait(Millis(20000));
    return p.stdoutText();
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> out;
    std::string word;
    for (char c : text) {
        if (c == '\n' || c == ' ') {
            if (!word.empty()) out.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) out.push_back(word);
    return out;
}

// Visible windows of a process (by _NET_WM_PID).
std::vector<std::string> WindowsOf(pid_t pid) {
    return Words(Cmd({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}));
}

std::optional<std::string> FindByName(const std::string& pattern, Millis timeout = Millis(30000)) {
    std::optional<std::string> found;
    fx::waitUntil(
        [&] {
            const auto ids = Words(Cmd({"xdotool", "search", "--onlyvisible", "--name", pattern}));
            if (!ids.empty()) found = ids.front();
            return found.has_value();
        },
        timeout, Millis(200));
    return found;
}

// A window's place and size on the screen, as xwininfo reports them.
QRect Geometry(const std::string& id) {
    const std::string info = Cmd({"xwininfo", "-id", id});
    auto field = [&](const char* name) {
        std::smatch m;
        return std::regex_search(info, m, std::regex(std::string(name) + ":\\s+(-?\\d+)"))
                   ? std::stoi(m[1])
                   : -1;
    };
    return QRect(field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"),
                 field("Height"));
}

QPoint Position(const std::string& id) {
    return Geometry(id).topLeft();
}

// The title the window manager shows for a window.
std::string NetWmName(const std::string& id) {
    const std::string out = Cmd({"xprop", "-id", id, "_NET_WM_NAME"});
    const size_t open = out.find('"'), close = out.rfind('"');
    return open == std::string::npos || close <= open ? out
                                                      : out.substr(open + 1, close - open - 1);
}

QImage Screenshot(const fx::TempDir& dir) {
    const std::string path = dir.file("shot.png");
    Cmd({"import", "-window", "root", "png:" + path});
    return QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
}

void Click(QPoint at, int button = 1) {
    Cmd({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y()), "click",
         std::to_string(button)});
}

QImage Asset(const char* name) {
    return QImage(QString::fromLatin1(VELMORA_ASSETS_DIR "/") + name)
        .convertToFormat(QImage::Format_RGB32);
}

// The player with its own runtime folder (instance lock), home and PATH.
class Player {
  public:
    explicit Player(const std::string& program, std::map<std::string, std::string> env = {})
        : program_(program), env_(std::move(env)) {
        ::mkdir(dir_.file("run").c_str(), 0700);
        ::mkdir(dir_.file("bin").c_str(), 0755);
    }
    const fx::TempDir& dir() const { return dir_; }
    // A stand-in for the desktop opener that records its arguments.
    void recordOpener() {
        const std::string opener = dir_.file("bin/xdg-open");
        fx::writeFile(opener,
                      "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + dir_.file("opened") + "'\n");
        ::chmod(opener.c_str(), 0755);
    }
    std::string opened() const { return fx::readFile(dir_.file("opened")); }
    bool start(const std::vector<std::string>& args = {}) {
        fx::ChildProcess::Options o;
        o.env = env_;
        o.env["XDG_RUNTIME_DIR"] = dir_.file("run");
        o.env["HOME"] = dir_.path();
        o.env["VELMORA_DEBUG"] = "1";
        o.env["PATH"] = dir_.file("bin") + ":" + std::string(std::getenv("PATH"));
        o.unsetEnv = {"QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"};
        std::vector<std::string> argv = {program_};
        argv.insert(argv.end(), args.begin(), args.end());
        return process.start(argv, o);
    }
    fx::ChildProcess process;

  private:
    fx::TempDir dir_{"velmora-ui"};
    std::string program_;
    std::map<std::string, std::string> env_;
};

// Xvfb with openbox. openbox now and then ends at once on a loaded machine; a fresh try helps.
bool StartX(fx::Xvfb& x, int width, int height) {
    constexpr int kTries = 3;
    for (int i = 0; i < kTries; ++i) {
        if (x.start(width, height, true)) return true;
        std::fprintf(stderr, "display not ready (%s), trying again\n", x.error().c_str());
    }
    return false;
}

// The program shows a box and no main window; Enter closes the box and the program ends with 0.
// The box has no caption of its own, so it bears the application's title, and with no visible
// owner it is centred on the screen.
void AnswerBoxAndExpectExitWithoutWindow(Player& player, QSize screen) {
    ASSERT_TRUE(player.start());
    std::vector<std::string> windows;
    ASSERT_TRUE(fx::waitUntil([&] {
        windows = WindowsOf(player.process.pid());
        return !windows.empty();
    }));
    EXPECT_FALSE(FindByName("^VARNO ZIVAV$", Millis(500)));
    EXPECT_EQ(NetWmName(windows.front()), "Velmora");
    constexpr int kCentreSlack = 4;
    const QPoint offCentre =
        Geometry(windows.front()).center() - QPoint(screen.width() / 2, screen.height() / 2);
    EXPECT_LE(offCentre.manhattanLength(), kCentreSlack)
        << "box off the centre by " << offCentre.x() << "," << offCentre.y();
    Cmd({"xdotool", "windowactivate", "--sync", windows.front(), "key", "Return"});
    EXPECT_EQ(player.process.wait(Millis(30000)), 0) << player.process.stderrText();
}

class WindowOnX : public ::testing::Test {
  protected:
    fx::Xvfb x;
};

}  // namespace

// At the bottom right of the primary screen, whatever its size, and on the primary monitor
// where it is not the one at the desktop's origin.
TEST_F(WindowOnX, PlacedAtBottomRightOfThePrimaryScreen) {
    struct Screen {
        int w, h;
        std::vector<std::vector<std::string>> monitors;  // xrandr --setmonitor arguments
        QPoint at;
    } screens[] = {
        {1024, 768, {}, {1024 - 488, 768 - 237}},
        {1280, 1024, {}, {1280 - 488, 1024 - 237}},
        // Two monitors side by side, the primary one (its name marked "*") on the right.
        {2048,
         768,
         {{"left", "1024/270x768/203+0+0", "none"},
          {"*right", "1024/270x768/203+1024+0", "screen"}},
         {1024 + 1024 - 488, 768 - 237}},
    };
    for (const Screen& s : screens) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        // openbox stays connected, so the display keeps the monitors set here.
        ASSERT_TRUE(StartX(x, s.w, s.h)) << x.error();
        for (const auto& monitor : s.monitors) {
            std::vector<std::string> argv = {"xrandr", "--setmonitor"};
            argv.insert(argv.end(), monitor.begin(), monitor.end());
            Cmd(argv);
        }
        if (!s.monitors.empty()) {
            ASSERT_EQ(Words(Cmd({"xrandr", "--listmonitors"})).at(1), "2");
        }
        Player player(VELMORA_FAKE_PROGRAM);
        ASSERT_TRUE(player.start());
        const auto id = FindByName("^VARNO ZIVAV$");
        ASSERT_TRUE(id) << player.process.stderrText();
        EXPECT_TRUE(fx::waitUntil([&] { return Position(*id) == s.at; }))
            << Position(*id).x() << "," << Position(*id).y();
        player.process.stop();
        x.stop();
    }
}

TEST_F(WindowOnX, ShapeOpacityTitleButtonsAndLinks) {
    ASSERT_TRUE(StartX(x, 1280, 1024)) << x.error();
    Player player(VELMORA_FAKE_PROGRAM);
    player.recordOpener();
    const QImage before = Screenshot(player.dir());
    ASSERT_TRUE(player.start());
    const auto id = FindByName("^VARNO ZIVAV$");
    ASSERT_TRUE(id) << player.process.stderrText();
    const QPoint origin(1280 - 488, 1024 - 237);
    ASSERT_TRUE(fx::waitUntil([&] { return Position(*id) == origin; }));

    // The taskbar title and the opacity of 229 of 255.
    EXPECT_NE(Cmd({"xprop", "-id", *id, "_NET_WM_NAME"}).find("\"VARNO ZIVAV\""),
              std::string::npos);
    EXPECT_NE(Cmd({"xprop", "-id", *id, "_NET_WM_WINDOW_OPACITY"}).find("= 3857049061"),
              std::string::npos)
        << Cmd({"xprop", "-id", *id, "_NET_WM_WINDOW_OPACITY"});

    // Outside the skin's outline the desktop shows; inside, the skin.
    const QImage skin = Asset("skin.bmp");
    QImage shot;
    ASSERT_TRUE(fx::waitUntil([&] {
        shot = Screenshot(player.dir());
        return shot.pixel(origin + QPoint(240, 70)) == skin.pixel(240, 70);
    }));
    for (QPoint outside : {QPoint(0, 0), QPoint(2, 2), QPoint(481, 193), QPoint(10, 185),
                           QPoint(470, 3), QPoint(482, 100)}) {
        EXPECT_EQ(shot.pixel(origin + outside), before.pixel(origin + outside))
            << outside.x() << "," << outside.y();
    }
    for (QPoint inside : {QPoint(300, 100), QPoint(420, 165), QPoint(420, 9), QPoint(8, 100)}) {
        EXPECT_EQ(shot.pixel(origin + inside), skin.pixel(inside))
            << inside.x() << "," << inside.y();
    }

    // Mute: the struck-out speaker takes the mute button's place.
    const QImage muted = Asset("muted.bmp");
    const QImage soundOn = Asset("soundon.bmp");
    const QPoint muteCentre = origin + QPoint(54 + 8, 145 + 8);
    ASSERT_NE(muted.pixel(8, 8), soundOn.pixel(8, 8));
    EXPECT_EQ(shot.pixel(muteCentre), soundOn.pixel(8, 8));
    Click(muteCentre);
    EXPECT_TRUE(fx::waitUntil(
        [&] { return Screenshot(player.dir()).pixel(muteCentre) == muted.pixel(8, 8); }));
    Click(muteCentre);
    EXPECT_TRUE(fx::waitUntil(
        [&] { return Screenshot(player.dir()).pixel(muteCentre) == soundOn.pixel(8, 8); }));

    // The about panel covers the display, and its close button hides it again.
    const QPoint inPanel = origin + QPoint(300, 100);
    Click(origin + QPoint(416 + 10, 11 + 10));
    EXPECT_TRUE(fx::waitUntil(
        [&] { return Screenshot(player.dir()).pixel(inPanel) != skin.pixel(300, 100); }));
    Click(origin + QPoint(90 + 1 + 344 + 10, 35 + 1 + 1 + 10));
    EXPECT_TRUE(fx::waitUntil(
        [&] { return Screenshot(player.dir()).pixel(inPanel) == skin.pixel(300, 100); }));

    // The link hands the station's address to the desktop opener.
    Click(origin + QPoint(81 + 150, 164 + 14));
    EXPECT_TRUE(fx::waitUntil([&] { return !player.opened().empty(); }));
    EXPECT_EQ(player.opened(), std::string(VELMORA_DEFAULT_HOME_ADDRESS) + "\n");

    // Twenty clicks on the format labels show nothing; the 21st opens the box.
    for (int i = 0; i < 10; ++i) {
        Click(origin + QPoint(17 + 40, 27 + 8));
        Click(origin + QPoint(86 + 20, 27 + 8));
    }
    EXPECT_FALSE(FindByName("^Bilgi$", Millis(1500)));
    Click(origin + QPoint(86 + 20, 27 + 8));
    const auto box = FindByName("^Bilgi$");
    ASSERT_TRUE(box);
    EXPECT_EQ(NetWmName(*box), "Bilgi");
    Cmd({"xdotool", "windowactivate", "--sync", *box, "key", "Escape"});
    EXPECT_TRUE(fx::waitUntil([&] { return !FindByName("^Bilgi$", Millis(200)); }));

    // A press on a button does not move the window; a drag on the skin does.
    const QPoint stop = origin + QPoint(36 + 8, 145 + 8);
    Cmd({"xdotool", "mousemove", std::to_string(stop.x()), std::to_string(stop.y()), "mousedown",
         "1", "mousemove", std::to_string(stop.x() - 100), std::to_string(stop.y() - 100),
         "mouseup", "1"});
    fx::waitUntil([] { return false; }, Millis(800), Millis(100));
    EXPECT_EQ(Position(*id), origin);
    const QPoint grip = origin + QPoint(300, 30);
    Cmd({"xdotool",
         "mousemove",
         std::to_string(grip.x()),
         std::to_string(grip.y()),
         "mousedown",
         "1",
         "sleep",
         "0.3",
         "mousemove",
         std::to_string(grip.x() - 50),
         std::to_string(grip.y() - 50),
         "sleep",
         "0.3",
         "mousemove",
         std::to_string(grip.x() - 200),
         std::to_string(grip.y() - 150),
         "sleep",
         "0.3",
         "mouseup",
         "1"});
    EXPECT_TRUE(fx::waitUntil([&] { return Position(*id) == origin - QPoint(200, 150); }))
        << Position(*id).x() << "," << Position(*id).y();

    // Minimise iconifies the window; activating it, as a taskbar does, brings it back.
    const QPoint moved = origin - QPoint(200, 150);
    auto state = [&] { return Cmd({"xprop", "-id", *id, "WM_STATE"}); };
    Click(moved + QPoint(392 + 10, 11 + 10));
    EXPECT_TRUE(fx::waitUntil([&] { return state().find("Iconic") != std::string::npos; }));
    Cmd({"xdotool", "windowactivate", *id});
    EXPECT_TRUE(fx::waitUntil([&] { return state().find("Normal") != std::string::npos; }));

    // The close button ends the program with exit code 0.
    Click(moved + QPoint(440 + 10, 11 + 10));
    EXPECT_EQ(player.process.wait(Millis(30000)), 0) << player.process.stderrText();
}

// xdotool steps that drag with `button` from `from` by `by`, in three pointer moves with pauses,
// as a hand does.
std::vector<std::string> DragSteps(QPoint from, QPoint by, int button) {
    std::vector<std::string> steps = {
        "xdotool",   "mousemove",           std::to_string(from.x()), std::to_string(from.y()),
        "mousedown", std::to_string(button)};
    for (double part : {0.25, 0.6, 1.0}) {
        const QPoint to = from + by * part;
        steps.insert(steps.end(),
                     {"sleep", "0.3", "mousemove", std::to_string(to.x()), std::to_string(to.y())});
    }
    steps.insert(steps.end(), {"sleep", "0.3", "mouseup", std::to_string(button)});
    return steps;
}

// Waits a moment in which a window that wrongly follows the pointer would have moved.
void Settle() {
    fx::waitUntil([] { return false; }, Millis(800), Millis(100));
}

TEST_F(WindowOnX, EveryButtonMovesTheWindowOnlyUntilItsRelease) {
    ASSERT_TRUE(StartX(x, 1280, 1024)) << x.error();
    Player player(VELMORA_FAKE_PROGRAM);
    ASSERT_TRUE(player.start());
    const auto id = FindByName("^VARNO ZIVAV$");
    ASSERT_TRUE(id) << player.process.stderrText();
    QPoint at(1280 - 488, 1024 - 237);
    ASSERT_TRUE(fx::waitUntil([&] { return Position(*id) == at; }));
    const QPoint grip(300, 30);  // the skin, clear of every control

    for (int button : {3, 2, 1}) {
        SCOPED_TRACE("button " + std::to_string(button));
        // A press and release with no time between, then the pointer goes on: the window stays.
        Cmd({"xdotool", "mousemove", std::to_string((at + grip).x()),
             std::to_string((at + grip).y()), "click", std::to_string(button), "mousemove",
             std::to_string((at + grip).x() - 150), std::to_string((at + grip).y() - 120), "sleep",
             "0.3", "mousemove", std::to_string((at + grip).x() - 40),
             std::to_string((at + grip).y() - 200)});
        Settle();
        EXPECT_EQ(Position(*id), at) << Position(*id).x() << "," << Position(*id).y();
        at = Position(*id);

        // A drag moves the window by the drag; after the release the pointer moves alone.
        const QPoint by(-150, -110);
        Cmd(DragSteps(at + grip, by, button));
        EXPECT_TRUE(fx::waitUntil([&] { return Position(*id) == at + by; }))
            << Position(*id).x() << "," << Position(*id).y();
        at = Position(*id);
        Cmd({"xdotool", "mousemove", "100", "100", "sleep", "0.2", "mousemove", "60", "900"});
        Settle();
        EXPECT_EQ(Position(*id), at) << Position(*id).x() << "," << Position(*id).y();
        at = Position(*id);
        // Back towards the middle for the next button.
        Cmd(DragSteps(at + grip, -by, button));
        EXPECT_TRUE(fx::waitUntil([&] { return Position(*id) == at - by; }));
        at = Position(*id);
    }
    // The left button's drags went through the window manager, the others' did not.
    const std::string log = player.process.stderrText();
    EXPECT_NE(log.find("move: by the window manager"), std::string::npos) << log;
    EXPECT_EQ(log.find("following the pointer (left button)"), std::string::npos) << log;
    EXPECT_NE(log.find("following the pointer (middle button)"), std::string::npos) << log;
    EXPECT_NE(log.find("following the pointer (right button)"), std::string::npos) << log;
    player.process.stop();
}

TEST_F(WindowOnX, WrongEngineVersionShowsBoxAndExitsWithoutWindow) {
    ASSERT_TRUE(StartX(x, 1024, 768)) << x.error();
    Player player(VELMORA_FAKE_PROGRAM, {{"VELMORA_FAKE_VERSION", "0x0205"}});
    AnswerBoxAndExpectExitWithoutWindow(player, {1024, 768});
    EXPECT_NE(player.process.stderrText().find("Ses motoru kütüphanesi bulunamadı.."),
              std::string::npos)
        << player.process.stderrText();
}

// weston's headless compositor with XWayland: a Wayland session without a screen.
class WestonSession {
  public:
    ~WestonSession() { server_.stop(); }
    // drawn: the compositor draws its output in memory (on a black desktop without a panel) and
    // lets a client take a picture of it (screenshot()).
    bool start(bool drawn = false) {
        ::mkdir(dir_.file("run").c_str(), 0700);
        fx::ChildProcess::Options o;
        o.env = {{"XDG_RUNTIME_DIR", dir_.file("run")},
                 {"XDG_CONFIG_HOME", dir_.file("config")},
                 {"HOME", dir_.path()}};
        o.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
        const std::string log = dir_.file("weston.log");
        std::vector<std::string> argv = {"weston",        "--backend=headless-backend.so",
                                         "--xwayland",    "--socket=" + std::string(kSocket),
                                         "--idle-time=0", "--log=" + log};
        if (drawn) {
            ::mkdir(dir_.file("config").c_str(), 0700);
            fx::writeFile(dir_.file("config/weston.ini"),
                          "[shell]\nbackground-color=0xff000000\npanel-position=none\n"
                          "startup-animation=none\nanimation=none\n");
            // --debug lets weston-screenshooter in.
            argv.insert(argv.end(), {"--use-pixman", "--debug"});
        }
        if (!server_.start(argv, o)) return false;
        // XWayland's display is announced in the log; XWayland itself starts on first use.
        std::smatch m;
        fx::waitUntil([&] {
            const std::string text = fx::readFile(log);
            if (std::regex_search(text, m, std::regex("xserver listening on display (:\\d+)")))
                display_ = m[1];
            return !display_.empty() || !server_.running();
        });
        return !display_.empty();
    }
    // A desktop session's environment: the compositor's socket (by its full path, as the
    // player has a runtime folder of its own) and XWayland's display.
    std::map<std::string, std::string> env() const {
        return {{"WAYLAND_DISPLAY", dir_.file("run/") + kSocket},
                {"XDG_SESSION_TYPE", "wayland"},
                {"DISPLAY", display_}};
    }
    const std::string& display() const { return display_; }
    std::string log() const { return fx::readFile(dir_.file("weston.log")); }
    // The output as the compositor shows it; null when no picture could be taken.
    QImage screenshot() const {
        const std::filesystem::path shots = dir_.file("shots");
        std::filesystem::create_directories(shots);
        fx::ChildProcess shooter;
        fx::ChildProcess::Options o;
        o.env = {{"XDG_RUNTIME_DIR", dir_.file("run")}, {"WAYLAND_DISPLAY", kSocket}};
        o.cwd = shots.string();  // it writes its picture there, named by the time
        if (!shooter.start({"weston-screenshooter"}, o) || shooter.wait(Millis(20000)) != 0)
            return {};
        QImage shot;
        for (const auto& file : std::filesystem::directory_iterator(shots)) {
            shot = QImage(QString::fromStdString(file.path().string()));
            std::filesystem::remove(file.path());
        }
        return shot.convertToFormat(QImage::Format_RGB32);
    }

  private:
    static constexpr const char* kSocket = "velmora-wayland";
    fx::TempDir dir_{"velmora-weston"};
    fx::ChildProcess server_;
    std::string display_;
};

// In a Wayland session the window goes through XWayland, where it can be translucent and place
// and move itself as on X11. (Qt's own choice there is its Wayland plug-in.)
TEST(WaylandSession, WindowGoesThroughXWayland) {
    WestonSession weston;
    ASSERT_TRUE(weston.start()) << weston.log();
    ::setenv("DISPLAY", weston.display().c_str(), 1);
    Player player(VELMORA_FAKE_PROGRAM, weston.env());
    ASSERT_TRUE(player.start());
    const auto id = FindByName("^VARNO ZIVAV$");
    ASSERT_TRUE(id) << player.process.stderrText();
    EXPECT_NE(Cmd({"xprop", "-id", *id, "_NET_WM_WINDOW_OPACITY"}).find("= 3857049061"),
              std::string::npos);
    player.process.stop();
    ::unsetenv("DISPLAY");
}

// With Qt's own Wayland plug-in the compositor shows the window's alpha: the skin's key colour is
// transparent, so the window has the skin's outline, and inside it the opacity of 229 of 255
// lets the (black) desktop through.
TEST(WaylandSession, NativeWindowTakesItsOutlineAndOpacityFromItsAlpha) {
    WestonSession weston;
    ASSERT_TRUE(weston.start(true)) << weston.log();
    auto env = weston.env();
    env["QT_QPA_PLATFORM"] = "wayland;xcb";
    Player player(VELMORA_FAKE_PROGRAM, env);
    ASSERT_TRUE(player.start());
    const QImage skin = Asset("skin.bmp");
    const QRgb black = qRgb(0, 0, 0), key = skin.pixel(0, 0);
    auto visible = [&](const QImage& picture, auto shows) {
        QRect box;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                if (shows(picture.pixel(x, y))) box |= QRect(x, y, 1, 1);
        return box;
    };
    // No skin pixel is black, so the window is exactly where the desktop is not black.
    const QRect outline = visible(skin, [&](QRgb c) { return c != key && c != black; });
    QImage shot;
    QRect drawn;
    ASSERT_TRUE(fx::waitUntil(
        [&] {
            shot = weston.screenshot();
            drawn = visible(shot, [&](QRgb c) { return c != black; });
            return drawn.size() == outline.size();
        },
        fx::kStartTimeout, Millis(500)))
        << "drawn " << drawn.width() << "x" << drawn.height() << ", the skin's outline "
        << outline.width() << "x" << outline.height() << "; " << player.process.stderrText();

    EXPECT_FALSE(visible(shot, [&](QRgb c) { return c == key; }).isValid());
    const QPoint origin = drawn.topLeft() - outline.topLeft();
    for (QPoint outside : {QPoint(0, 0), QPoint(2, 2), QPoint(481, 193), QPoint(10, 185),
                           QPoint(470, 3), QPoint(482, 100)}) {
        EXPECT_EQ(shot.pixel(origin + outside), black) << outside.x() << "," << outside.y();
    }
    constexpr int kAlpha = 229, kSlack = 2;
    for (QPoint inside : {QPoint(300, 100), QPoint(420, 165), QPoint(420, 9), QPoint(8, 100)}) {
        const QColor want = skin.pixel(inside), got = shot.pixel(origin + inside);
        for (auto [w, g] : {std::pair{want.red(), got.red()}, std::pair{want.green(), got.green()},
                            std::pair{want.blue(), got.blue()}})
            EXPECT_NEAR(g, w * kAlpha / 255, kSlack)
                << inside.x() << "," << inside.y() << ": " << got.name().toStdString() << " for "
                << want.name().toStdString();
    }
    player.process.stop();
}

#ifdef VELMORA_REAL_PROGRAM
// The engine's output volume as the sound server shows it, for the program's one stream.
std::optional<std::string> ServerVolume(fx::PulseServer& pulse) {
    const auto inputs = pulse.pactl({"list", "sink-inputs"});
    if (!inputs) return std::nullopt;
    // One block per input; the fixture's silent keep-alive stream is another one.
    const std::string separator = "Sink Input #";
    size_t at = inputs->find(separator);
    while (at != std::string::npos) {
        const size_t next = inputs->find(separator, at + 1);
        const std::string block = inputs->substr(at, next == std::string::npos ? next : next - at);
        std::smatch m;
        if (block.find("application.name = \"Velmora\"") != std::string::npos &&
            std::regex_search(block, m, std::regex("Volume: front-left: \\d+ /\\s*(\\d+)%")))
            return m[1].str();
        at = next;
    }
    return std::nullopt;
}

TEST_F(WindowOnX, MuteSilencesTheRealOutputAndUnmuteRestoresTheSlider) {
    fx::PulseServer pulse;
    ASSERT_TRUE(pulse.start()) << pulse.error();
    ASSERT_TRUE(StartX(x, 1024, 768)) << x.error();
    // A station on a closed local port: nothing connects, nothing leaves the machine.
    Player player(VELMORA_REAL_PROGRAM, pulse.env());
    const std::string pls = player.dir().file("closed.pls");
    fx::writePls(pls, "http://127.0.0.1:" + std::to_string(fx::freePort()) + "/none.mp3");
    ASSERT_TRUE(player.start({pls}));
    const auto id = FindByName("^VARNO ZIVAV$");
    ASSERT_TRUE(id) << player.process.stderrText();
    const QPoint origin(1024 - 488, 768 - 237);
    ASSERT_TRUE(fx::waitUntil([&] { return Position(*id) == origin; }));
    std::optional<std::string> volume;
    ASSERT_TRUE(fx::waitUntil([&] { return (volume = ServerVolume(pulse)).has_value(); }));
    ASSERT_NE(*volume, "0");

    Click(origin + QPoint(54 + 8, 145 + 8));
    EXPECT_TRUE(fx::waitUntil([&] { return ServerVolume(pulse) == "0"; })) << *ServerVolume(pulse);
    Click(origin + QPoint(54 + 8, 145 + 8));
    EXPECT_TRUE(fx::waitUntil([&] { return ServerVolume(pulse) == volume; }))
        << *ServerVolume(pulse) << " after unmute, " << *volume << " before";
    player.process.stop();
}

TEST_F(WindowOnX, NoSoundServerShowsDeviceErrorAndExitsWithoutWindow) {
    ASSERT_TRUE(StartX(x, 1024, 768)) << x.error();
    Player player(VELMORA_REAL_PROGRAM, {{"PULSE_SERVER", "unix:/nonexistent/velmora-no-pulse"}});
    AnswerBoxAndExpectExitWithoutWindow(player, {1024, 768});
    const std::string log = player.process.stderrText();
    // The log writes the box's line break escaped, as it does every control byte.
    EXPECT_TRUE(
        std::regex_search(log, std::regex("Cant initialize device\\\\x0a\\(error code: -?\\d+\\)")))
        << log;
}
#endif
