// Test entry: an offscreen Qt application with a private runtime folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QByteArray>
#include <string>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    char runtime[] = "/tmp/velmora-playback-XXXXXX";
    if (mkdtemp(runtime)) {
        chmod(runtime, 0700);
        qputenv("XDG_RUNTIME_DIR", runtime);
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    rmdir(runtime);
    return result;
}
