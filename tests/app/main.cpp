// Test program of the app folder. Run as "app_tests --hold-lock DIR" it is the helper process
// of the two-process tests: it takes the instance lock in DIR, prints the state it found and
// holds the lock until it is killed.
#include <unistd.h>

#include <cstring>
#include <iostream>

#include <QCoreApplication>
#include <QDir>
#include <gtest/gtest.h>

#include "app/instance.h"

namespace {

int holdLock(const char* dir) {
    velmora::InstanceLock lock;
    auto state = lock.acquire(dir);
    std::cout << (state == velmora::InstanceLock::State::Alone         ? "alone"
                  : state == velmora::InstanceLock::State::AnotherRuns ? "another"
                                                                       : "unavailable")
              << std::endl;
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--hold-lock") == 0) return holdLock(argv[2]);
    // A private runtime folder keeps Qt quiet and the tests away from the user's own player.
    QString runtime = QDir::tempPath() + "/velmora-app-tests-" + QString::number(getpid());
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    QDir(runtime).removeRecursively();
    return rc;
}
