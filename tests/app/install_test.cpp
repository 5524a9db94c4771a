// `cmake --install` into a staging folder: the program, the menu entry and the icon land where
// desktops look for them, and the menu entry is valid.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixtures.h"

namespace {

bool executable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111);
}

bool onPath(const std::string& tool) {
    return system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string keyOf(const std::string& desktop, const std::string& key) {
    size_t at = desktop.find("\n" + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    return desktop.substr(at, desktop.find('\n', at) - at);
}

// Runs a tool with `env` added and returns its output without the final line break; empty when
// it fails.
std::string run(const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& env) {
    fx::ChildProcess p;
    fx::ChildProcess::Options opt;
    opt.env = env;
    opt.unsetEnv = {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                    "GNOME_DESKTOP_SESSION_ID", "DBUS_SESSION_BUS_ADDRESS"};
    if (!p.start(argv, opt) || p.wait(std::chrono::seconds(60)) != 0) return "";
    std::string out = p.stdoutText();
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace

// Installed in a prefix of its own, the menu entry is what a file manager offers for every kind
// of playlist the readers take, as the shared MIME database types those files.
TEST(Install, MenuEntryOpensEveryPlaylistKind) {
    fx::TempDir prefix;
    fx::ChildProcess install;
    ASSERT_TRUE(
        install.start({"cmake", "--install", VELMORA_BINARY_DIR, "--prefix", prefix.path()}));
    ASSERT_EQ(install.wait(std::chrono::seconds(60)), 0) << install.stderrText();
    // What a package manager's trigger does after an install.
    run({"update-desktop-database", prefix.file("share/applications")}, {});
    ASSERT_FALSE(fx::readFile(prefix.file("share/applications/mimeinfo.cache")).empty());

    // Only this prefix's entries, and the system's MIME database without its applications.
    fx::TempDir home;
    ::mkdir(home.file("mime-only").c_str(), 0755);
    ASSERT_EQ(::symlink("/usr/share/mime", home.file("mime-only/mime").c_str()), 0);
    const std::map<std::string, std::string> env = {
        {"XDG_DATA_DIRS", prefix.file("share") + ":" + home.file("mime-only")},
        {"XDG_DATA_HOME", home.file("data")},
        {"XDG_CONFIG_HOME", home.file("config")},
        {"XDG_CONFIG_DIRS", home.file("config-dirs")},
        {"HOME", home.path()},
        {"GIO_USE_VFS", "local"}};

    const std::string station = "http://127.0.0.1:8000/a.mp3\n";
    const std::string asx = "<asx version=\"3.0\"><entry><ref href=\"" +
                            station.substr(0, station.size() - 1) + "\"/></entry></asx>\n";
    struct Kind {
        const char* name;
        std::string content;
        const char* type;  // as the database gives it
    } kinds[] = {
        {"a.pls", "[playlist]\nNumberOfEntries=1\nFile1=" + station, "audio/x-scpls"},
        {"a.m3u", "#EXTM3U\n#EXTINF:-1,A\n" + station, "audio/x-mpegurl"},
        {"a.m3u8", "#EXTM3U\n#EXTINF:-1,A\n" + station, "audio/x-mpegurl"},
        {"live.m3u8",
         "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + station,
         "application/vnd.apple.mpegurl"},
        {"a.asx", asx, "audio/x-ms-asx"},
        {"a.wax", asx, "audio/x-ms-asx"},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string file = home.file(kind.name);
        fx::writeFile(file, kind.content);
        const std::string info =
            run({"gio", "info", "--attributes=standard::content-type", file}, env);
        const std::string type = info.substr(info.rfind(' ') + 1);
        EXPECT_EQ(type, kind.type) << info;
        EXPECT_EQ(run({"xdg-mime", "query", "default", type}, env), "velmora.desktop");
    }
}

TEST(Install, PutsTheProgramMenuEntryAndIconInPlace) {
    fx::TempDir stage;
    fx::ChildProcess install;
    fx::ChildProcess::Options opt;
    opt.env["DESTDIR"] = stage.path();
    ASSERT_TRUE(install.start({"cmake", "--install", VELMORA_BINARY_DIR, "--prefix", "/usr"}, opt));
    ASSERT_EQ(install.wait(std::chrono::seconds(60)), 0) << install.stderrText();

    const std::string root = stage.path() + "/usr";
    EXPECT_TRUE(executable(root + "/bin/velmora"));

    const std::string desktopPath = root + "/share/applications/velmora.desktop";
    const std::string desktop = fx::readFile(desktopPath);
    ASSERT_FALSE(desktop.empty());
    EXPECT_EQ(desktop.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(keyOf(desktop, "Type"), "Application");
    EXPECT_EQ(keyOf(desktop, "Exec"), "velmora %f");
    EXPECT_EQ(keyOf(desktop, "Icon"), "velmora");
    EXPECT_EQ(keyOf(desktop, "StartupWMClass"), "Velmora");
    if (onPath("desktop-file-validate")) {
        fx::ChildProcess validate;
        ASSERT_TRUE(validate.start({"desktop-file-validate", desktopPath}));
        EXPECT_EQ(validate.wait(std::chrono::seconds(30)), 0) << validate.stdoutText();
        EXPECT_EQ(validate.stdoutText(), "");  // no warnings either
    }

    // The icon: a 48 x 48 PNG in the hicolor theme.
    const std::string icon = fx::readFile(root + "/share/icons/hicolor/48x48/apps/velmora.png");
    ASSERT_GE(icon.size(), 24u);
    EXPECT_EQ(icon.substr(1, 3), "PNG");
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(icon[at])) << 24) | (uint32_t(uint8_t(icon[at + 1])) << 16) |
               (uint32_t(uint8_t(icon[at + 2])) << 8) | uint32_t(uint8_t(icon[at + 3]));
    };
    EXPECT_EQ(icon.substr(12, 4), "IHDR");
    EXPECT_EQ(be32(16), 48u);
    EXPECT_EQ(be32(20), 48u);
}
