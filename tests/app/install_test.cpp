// `cmake --install` into a staging folder: the program, the menu entry and the icon land where
// desktops look for them, and the menu entry is valid. The Debian package made with CPack,
// installed on this machine with apt, plays, and is purged without a trace.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <sstream>

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

struct Result {
    int status = -1;  // -1: could not be started or did not end in time
    std::string out, err;
};

Result runTool(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {},
               fx::Millis timeout = fx::Millis(300000)) {
    fx::ChildProcess p;
    fx::ChildProcess::Options opt;
    opt.env = env;
    Result r;
    if (!p.start(argv, opt)) return r;
    r.status = p.wait(timeout).value_or(-1);
    if (r.status == -1) p.stop();
    r.out = p.stdoutText();
    r.err = p.stderrText();
    return r;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

constexpr const char* kPackage = "velmora";
// Written while the package is installed by this test: a run that was killed before it could
// purge leaves it behind, and the next run knows the installed package is its own.
constexpr const char* kInstalledMarker = "/var/tmp/velmora-package-test.installed";
// Libraries that are opened when present and done without otherwise: Qt's X11 plug-in takes
// the cursor theme from libXcursor.
const std::set<std::string> kOptionalLibraryPackages = {"libxcursor1"};
const std::map<std::string, std::string> kAptEnv = {{"DEBIAN_FRONTEND", "noninteractive"}};

bool packageInstalled() {
    Result r = runTool({"dpkg-query", "-W", "-f=${Status}", kPackage});
    return r.status == 0 && r.out.find(" installed") != std::string::npos;
}

bool purgePackage(std::string* why) {
    Result r = runTool({"apt-get", "purge", "-y", "-q", "-o", "DPkg::Lock::Timeout=300", kPackage},
                       kAptEnv);
    if (r.status != 0) *why = r.out + r.err;
    return r.status == 0;
}

// Purges the package when the test ends, however it ends.
struct PurgeGuard {
    ~PurgeGuard() {
        std::string why;
        if (packageInstalled() && !purgePackage(&why))
            ADD_FAILURE() << "purge failed: " << why;
        else
            ::unlink(kInstalledMarker);
    }
};

// The packages the installed package depends on, itself included, as apt resolves them on this
// machine.
std::set<std::string> dependencyClosure() {
    Result r = runTool({"apt-cache", "depends", "--recurse", "--installed", "--no-recommends",
                        "--no-suggests", "--no-conflicts", "--no-breaks", "--no-replaces",
                        "--no-enhances", kPackage});
    std::set<std::string> names;
    for (const std::string& line : linesOf(r.out))
        if (line[0] != ' ' && line[0] != '<') names.insert(line.substr(0, line.find(':')));
    return names;
}

// The package owning a file the program has mapped, or "" when no package owns it.
std::string ownerOf(const std::string& path) {
    for (std::string candidate : {path, std::string()}) {
        // On a merged /usr a library is mapped as /usr/lib/... and may be listed as /lib/...
        if (candidate.empty()) {
            if (path.rfind("/usr/lib/", 0) != 0) break;
            candidate = path.substr(4);
        }
        Result r = runTool({"dpkg-query", "-S", candidate});
        if (r.status == 0) {
            const std::string first = r.out.substr(0, r.out.find(": "));
            return first.substr(0, first.find_first_of(":,"));
        }
    }
    return "";
}

// The package cpack wrote into `folder`; empty when there is none.
std::string packageIn(const std::string& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".deb") return entry.path().string();
    return "";
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

// `cpack -G DEB` makes a package of the program and everything a desktop and a software centre
// look for, which lintian and appstreamcli accept.
TEST(PackageFiles, EverythingInPlaceAndAcceptedByLintianAndAppStream) {
    fx::TempDir work("velmora-deb");
    Result cpack = runTool({"cpack", "-G", "DEB", "--config",
                            VELMORA_BINARY_DIR "/CPackConfig.cmake", "-B", work.path()});
    ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
    const std::string deb = packageIn(work.path());
    ASSERT_FALSE(deb.empty()) << cpack.out;

    Result listing = runTool({"dpkg-deb", "-c", deb});
    std::set<std::string> files;
    for (const std::string& line : linesOf(listing.out))
        files.insert(line.substr(line.find("./") + 1));
    std::vector<std::string> expected = {
        "/usr/bin/velmora",
        "/usr/share/applications/velmora.desktop",
        "/usr/share/man/man1/velmora.1.gz",
        "/usr/share/doc/velmora/copyright",
        "/usr/share/metainfo/tr.com.velmora.velmora.metainfo.xml",
    };
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        expected.push_back("/usr/share/icons/hicolor/" + std::to_string(size) + "x" +
                           std::to_string(size) + "/apps/velmora.png");
    for (const std::string& file : expected) EXPECT_TRUE(files.count(file)) << file;

    Result depends = runTool({"dpkg-deb", "-f", deb, "Depends"});
    for (const char* lib :
         {"libavutil", "libswresample", "libavcodec", "libavformat", "libqt6gui6"})
        EXPECT_NE(depends.out.find(lib), std::string::npos) << depends.out;

    if (!onPath("lintian") || !onPath("appstreamcli"))
        GTEST_SKIP() << "lintian or appstreamcli is missing (scripts/setup installs them)";
    Result lintian = runTool({"lintian", "--fail-on", "error", deb});
    EXPECT_EQ(lintian.status, 0) << lintian.out << lintian.err;
    Result extract = runTool({"dpkg-deb", "-x", deb, work.file("root")});
    ASSERT_EQ(extract.status, 0) << extract.err;
    Result appstream =
        runTool({"appstreamcli", "validate", "--no-net", "--pedantic",
                 work.file("root/usr/share/metainfo/tr.com.velmora.velmora.metainfo.xml")});
    EXPECT_EQ(appstream.status, 0) << appstream.out << appstream.err;
}

// The package made by `cpack -G DEB` installs with apt, plays a local station through the
// installed program, needs nothing its Depends do not bring (the FFmpeg libraries the engine
// opens at run time included), and is purged without leaving a file.
TEST(DebianPackage, InstallsPlaysAndPurgesWithoutATrace) {
#ifdef VELMORA_SANITIZED_BUILD
    GTEST_SKIP() << "the package is made from an uninstrumented build";
#endif
    if (getuid() != 0) GTEST_SKIP() << "installing a package needs root";
    if (!onPath("apt-get") || !onPath("dpkg-query")) GTEST_SKIP() << "no apt on this machine";
    if (packageInstalled()) {
        if (!exists(kInstalledMarker))
            GTEST_SKIP() << "a velmora package of someone else's is installed; not replacing it";
        std::string why;
        ASSERT_TRUE(purgePackage(&why)) << "the package an earlier run left: " << why;
    }

    fx::TempDir work("velmora-deb");
    Result cpack = runTool({"cpack", "-G", "DEB", "--config",
                            VELMORA_BINARY_DIR "/CPackConfig.cmake", "-B", work.path()});
    ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
    const std::string deb = packageIn(work.path());
    ASSERT_EQ(
        std::filesystem::path(deb).filename().string().rfind("velmora_" VELMORA_VERSION "_", 0), 0u)
        << cpack.out;
    EXPECT_EQ(runTool({"dpkg-deb", "-f", deb, "Version"}).out, VELMORA_VERSION "\n");

    // Everything the package brings must already be here (the setup script installs it): the
    // test installs nothing but the package itself.
    Result plan = runTool({"apt-get", "install", "-s", "-q", deb}, kAptEnv);
    ASSERT_EQ(plan.status, 0) << plan.out << plan.err;
    std::vector<std::string> installs;
    for (const std::string& line : linesOf(plan.out))
        if (line.rfind("Inst ", 0) == 0) installs.push_back(line.substr(5, line.find(' ', 5) - 5));
    ASSERT_EQ(installs, std::vector<std::string>{kPackage}) << plan.out;

    // What did not exist before the install must not exist after the purge.
    std::vector<std::string> paths;
    Result listing = runTool({"dpkg-deb", "-c", deb});
    ASSERT_EQ(listing.status, 0);
    for (const std::string& line : linesOf(listing.out)) {
        std::string path = line.substr(line.find("./") + 1);
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        if (!exists(path)) paths.push_back(path);
    }
    ASSERT_FALSE(paths.empty());

    PurgeGuard guard;
    fx::writeFile(kInstalledMarker, deb + "\n");
    Result install =
        runTool({"apt-get", "install", "-y", "-q", "-o", "DPkg::Lock::Timeout=300", deb}, kAptEnv);
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    ASSERT_TRUE(packageInstalled());
    EXPECT_EQ(runTool({"/usr/bin/velmora", "--version"}).out, "velmora " VELMORA_VERSION "\n");

    fx::PulseServer pulse;
    ASSERT_TRUE(pulse.start()) << pulse.error();
    fx::Xvfb x;
    ASSERT_TRUE(x.start()) << x.error();
    fx::Icecast ice;
    ASSERT_TRUE(ice.start()) << ice.error();
    constexpr double kTone = 440;
    ASSERT_TRUE(ice.startSource("demo.mp3", fx::Codec::Mp3, kTone, "Velmora Demo")) << ice.error();
    fx::Recorder rec;
    ASSERT_TRUE(rec.start(pulse));
    fx::writePls(work.file("demo.pls"), ice.url("demo.mp3"), "Velmora Demo");

    fx::TempDir home("velmora-deb-home");
    ::mkdir(home.file("run").c_str(), 0700);
    fx::ChildProcess player;
    fx::ChildProcess::Options opt;
    opt.env = pulse.env();
    opt.env["DISPLAY"] = x.display();
    opt.env["HOME"] = home.path();
    opt.env["XDG_RUNTIME_DIR"] = home.file("run");
    opt.unsetEnv = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"};
    ASSERT_TRUE(player.start({"/usr/bin/velmora", work.file("demo.pls")}, opt));
    constexpr size_t kWindow = fx::Recorder::kRate / 2;
    auto heardTone = [&] {
        auto s = rec.samplesSoFar();
        const size_t frames = s.size() / 2;
        if (frames < kWindow) return false;
        auto a = fx::analyze(s, frames - kWindow, frames);
        return a.rms >= 300 && std::fabs(a.frequencyHz - kTone) < kTone * 0.03;
    };
    EXPECT_TRUE(fx::waitUntil(heardTone, fx::Millis(60000), fx::Millis(200)))
        << player.stderrText();

    // Every library the playing program has mapped comes with the package's dependencies.
    if (player.running()) {
        const std::set<std::string> closure = dependencyClosure();
        EXPECT_TRUE(closure.count(kPackage)) << "apt-cache depends found no package";
        std::set<std::string> mapped;
        std::istringstream maps(fx::readFile("/proc/" + std::to_string(player.pid()) + "/maps"));
        for (std::string line; std::getline(maps, line);) {
            const size_t slash = line.find('/');
            if (slash == std::string::npos) continue;
            const std::string path = line.substr(slash);
            if (path.find(".so") != std::string::npos) mapped.insert(path);
        }
        EXPECT_FALSE(mapped.empty());
        for (const std::string& path : mapped) {
            const std::string owner = ownerOf(path);
            EXPECT_TRUE(owner.empty() || closure.count(owner) ||
                        kOptionalLibraryPackages.count(owner))
                << path << " (" << owner << ") is mapped but no dependency brings it";
        }
    }
    player.stop();

    std::string why;
    ASSERT_TRUE(purgePackage(&why)) << why;
    EXPECT_FALSE(packageInstalled());
    for (const std::string& path : paths) EXPECT_FALSE(exists(path)) << path << " is left";
}
