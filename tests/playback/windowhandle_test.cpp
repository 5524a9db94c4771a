// Synchronous sends to the window from other threads, and their cancellation at close.
#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <thread>

#include "playback/windowhandle.h"
#include "test_support.h"

namespace {

struct CountingWindow : TPlayerWindow {
    std::vector<uint32_t> codes;  // window thread only
    std::vector<std::string> labels;
    bool onWindowThread = true;
    void WMPlayerStatus(uint32_t code, intptr_t) override {
        onWindowThread = onWindowThread && QThread::currentThread() == qApp->thread();
        codes.push_back(code);
    }
    void SetPlayerLabel(TPlayerLabel, const std::string& bytes) override {
        labels.push_back(bytes);
    }
};

TEST(WindowHandle, SendFromWorkerIsHandledOnWindowThreadBeforeItReturns) {
    CountingWindow window;
    TWindowHandle handle;
    handle.attach(&window);
    std::atomic<int> returned{0};
    std::thread worker([&] {
        for (uint32_t code = 0; code < 5; ++code) {
            EXPECT_TRUE(handle.send(code, 0));
            ++returned;
        }
        const std::string text = "label text";
        EXPECT_TRUE(handle.setLabel(TPlayerLabel::Hz, text));
    });
    ASSERT_TRUE(test::PumpUntil([&] { return window.labels.size() == 1; }));
    worker.join();
    EXPECT_EQ(window.codes, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(window.labels[0], "label text");
    EXPECT_TRUE(window.onWindowThread);
    handle.close();
}

TEST(WindowHandle, SendOnWindowThreadRunsAtOnce) {
    CountingWindow window;
    TWindowHandle handle;
    handle.attach(&window);
    EXPECT_TRUE(handle.send(7, 0));
    EXPECT_EQ(window.codes.size(), 1u);
    handle.close();
    EXPECT_FALSE(handle.send(7, 0));
    EXPECT_FALSE(handle.invoke([] { FAIL(); }));
    EXPECT_EQ(window.codes.size(), 1u);
}

TEST(WindowHandle, CloseReleasesWaitingSendersUnhandled) {
    CountingWindow window;
    TWindowHandle handle;
    handle.attach(&window);
    std::atomic<int> returnedFalse{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i)
        senders.emplace_back([&] {
            if (!handle.send(1, 0)) ++returnedFalse;
        });
    while (handle.waitingCalls() < 4) std::this_thread::yield();
    handle.close();  // the window thread never ran its events
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(returnedFalse, 4);
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.codes.empty());
}

TEST(WindowHandle, AttachingAnotherWindowCancelsCallsForTheFirst) {
    CountingWindow first, second;
    TWindowHandle handle;
    handle.attach(&first);
    std::atomic<bool> done{false};
    std::thread sender([&] {
        handle.send(3, 0);
        done = true;
    });
    while (handle.waitingCalls() < 1) std::this_thread::yield();
    handle.attach(&second);
    ASSERT_TRUE(test::PumpUntil([&] { return done.load(); }));
    sender.join();
    QCoreApplication::processEvents();
    // A send queued for the first window is cancelled, not left waiting; one made after the
    // new attach goes to the second window.
    EXPECT_TRUE(first.codes.empty());
    EXPECT_LE(second.codes.size(), 1u);
    handle.close();
}

}  // namespace
