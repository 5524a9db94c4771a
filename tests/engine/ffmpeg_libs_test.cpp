// FFmpeg's libraries opened at run time: a preload racing with callers that need them at once.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ffmpeg_libs.h"

namespace ae::ff {
namespace {

TEST(FfmpegLibraries, PreloadAndLoadFromManyThreadsAgree) {
    std::vector<std::thread> threads;
    std::vector<char> loaded(8, 0);
    preload();
    for (size_t i = 0; i < loaded.size(); ++i) {
        threads.emplace_back([&loaded, i] {
            if (i % 2) preload();
            loaded[i] = load();
        });
    }
    for (auto& t : threads) t.join();
    joinPreload();
    joinPreload();  // a second join finds nothing to wait for
    for (char ok : loaded) EXPECT_TRUE(ok);
    // Every function was found, and the library is the major version the headers describe.
    ASSERT_NE(api().avformat_alloc_context, nullptr);
    ASSERT_NE(api().swr_alloc_set_opts2, nullptr);
    AVFormatContext* fmt = api().avformat_alloc_context();
    ASSERT_NE(fmt, nullptr);
    api().avformat_close_input(&fmt);
    EXPECT_NE(api().avcodec_find_decoder(AV_CODEC_ID_MP3), nullptr);
}

}  // namespace
}  // namespace ae::ff
