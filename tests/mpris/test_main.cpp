// Every test process gets a private session bus of its own before the first test runs, so the
// media controls never reach the desktop's bus. A child started with kNoBusChild set runs
// without any bus.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

#include "fixtures.h"
#include "mpris_test_support.h"

namespace {

class PrivateBus : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(bus_.start()) << bus_.error(); }
    void TearDown() override { bus_.stop(); }

  private:
    fx::DbusSession bus_;
};

}  // namespace

int main(int argc, char** argv) {
    // The window test draws its widgets offscreen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty(mprist::kNoBusChild)) {
        ::testing::AddGlobalTestEnvironment(new PrivateBus);
    }
    return RUN_ALL_TESTS();
}
