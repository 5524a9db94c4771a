// FFmpeg's libraries, opened at run time rather than linked.
//
// Debian's FFmpeg depends on some 150 shared libraries (video codecs, TLS stacks, ...), and
// mapping and relocating them takes about 40 ms of a program's start. Opened on a thread of
// their own once a stream's request is sent, they load while the server's first answer is
// awaited, which is where a radio's first seconds go anyway.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace ae::ff {

// Every FFmpeg function the engine calls, with the library it lives in.
#define AE_FFMPEG_FUNCTIONS(X)                \
    X(avutil, av_log_set_level)               \
    X(avutil, av_malloc)                      \
    X(avutil, av_free)                        \
    X(avutil, av_freep)                       \
    X(avutil, av_dict_get)                    \
    X(avutil, av_dict_set)                    \
    X(avutil, av_dict_set_int)                \
    X(avutil, av_dict_free)                   \
    X(avutil, av_frame_alloc)                 \
    X(avutil, av_frame_free)                  \
    X(avutil, av_frame_unref)                 \
    X(avutil, av_channel_layout_copy)         \
    X(avutil, av_channel_layout_default)      \
    X(avutil, av_channel_layout_uninit)       \
    X(swresample, swr_alloc_set_opts2)        \
    X(swresample, swr_init)                   \
    X(swresample, swr_convert)                \
    X(swresample, swr_get_out_samples)        \
    X(swresample, swr_free)                   \
    X(avcodec, av_packet_alloc)               \
    X(avcodec, av_packet_free)                \
    X(avcodec, av_packet_unref)               \
    X(avcodec, av_packet_get_side_data)       \
    X(avcodec, av_packet_unpack_dictionary)   \
    X(avcodec, avcodec_find_decoder)          \
    X(avcodec, avcodec_alloc_context3)        \
    X(avcodec, avcodec_parameters_to_context) \
    X(avcodec, avcodec_open2)                 \
    X(avcodec, avcodec_send_packet)           \
    X(avcodec, avcodec_receive_frame)         \
    X(avcodec, avcodec_free_context)          \
    X(avformat, av_find_input_format)         \
    X(avformat, av_probe_input_format3)       \
    X(avformat, av_find_best_stream)          \
    X(avformat, av_read_frame)                \
    X(avformat, avformat_alloc_context)       \
    X(avformat, avformat_open_input)          \
    X(avformat, avformat_find_stream_info)    \
    X(avformat, avformat_close_input)         \
    X(avformat, avio_alloc_context)           \
    X(avformat, avio_context_free)

struct Functions {
#define AE_FFMPEG_MEMBER(lib, name) decltype(&::name) name = nullptr;
    AE_FFMPEG_FUNCTIONS(AE_FFMPEG_MEMBER)
#undef AE_FFMPEG_MEMBER
};

// Starts opening the libraries on a thread of its own; once per process, later calls return
// at once.
void preload();

// Waits for the thread preload() started, if any; AE_Free calls it so that no engine thread
// outlives the engine.
void joinPreload();

// Opens the libraries, or waits for the preload thread to have done so. False when they
// cannot be opened (missing, or another major version): nothing can be decoded then.
bool load();

// The functions; only after load() has returned true.
const Functions& api();

}  // namespace ae::ff
