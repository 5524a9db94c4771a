// Widgets are drawn offscreen: set the platform before QApplication exists,
// also when test discovery runs the program at build time.
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string runtime = "/tmp/velmora-ui-tests-" + std::to_string(getuid());
    mkdir(runtime.c_str(), 0700);
    chmod(runtime.c_str(), 0700);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
