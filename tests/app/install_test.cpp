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

}  // namespace

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
    EXPECT_EQ(keyOf(desktop, "MimeType"),
              "audio/x-scpls;audio/x-mpegurl;audio/mpegurl;video/x-ms-asf;");
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
