/*
 * audioengine: Velmora's audio engine, public C interface (API 2.4).
 *
 * The player calls nothing else of the engine, so a scripted stand-in can be
 * linked in its place for tests. Every operation may be called from any
 * thread. Operations that fail set an error code for the calling thread,
 * read with AE_ErrorGetCode(); successful ones set AE_OK.
 */
#ifndef VELMORA_AUDIOENGINE_H
#define VELMORA_AUDIOENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int AE_BOOL;        /* 0 false, non-zero true */
typedef uint32_t AE_HANDLE; /* a stream (channel); 0 = none. Never reused while stale copies may exist */
typedef uint32_t AE_SYNC;   /* a registered sync; 0 = failed */

/* AE_GetVersion: the high 16 bits are the API version. */
#define AE_API_VERSION 0x0204u
#define AE_VERSION 0x02040100u

/* Error codes (AE_ErrorGetCode). */
#define AE_OK 0
#define AE_ERROR_INIT 1          /* AE_Init has not been called (or AE_Free has) */
#define AE_ERROR_ALREADY 2       /* AE_Init called twice */
#define AE_ERROR_NO_SERVER 3     /* no sound server answered: no usable sound device */
#define AE_ERROR_DEVICE 4        /* device number or output format not supported */
#define AE_ERROR_PARAM 5         /* an argument is out of range or null */
#define AE_ERROR_HANDLE 6        /* unknown or stale stream handle */
#define AE_ERROR_MEMORY 7        /* out of memory */
#define AE_ERROR_URL 8           /* address malformed or its scheme is not supported */
#define AE_ERROR_CONNECT 9       /* the server could not be reached */
#define AE_ERROR_TIMEOUT 10      /* the server did not answer within the connect time-out */
#define AE_ERROR_HTTP 11         /* the server answered with an error status */
#define AE_ERROR_PROTOCOL 12     /* the answer was malformed (headers, metadata, redirects) */
#define AE_ERROR_FORMAT 13       /* the data is not an audio format the engine knows */
#define AE_ERROR_CODEC 14        /* the codec is not enabled (plug-in missing) or unavailable */
#define AE_ERROR_PLAYLIST 15     /* a playlist named no entry that could be opened */
#define AE_ERROR_ABORTED 16      /* the operation was cancelled by AE_StreamCreateAbort or AE_Free */
#define AE_ERROR_ENDED 17        /* the stream has ended */
#define AE_ERROR_NOT_AVAILABLE 18 /* the requested value does not exist for this stream */
#define AE_ERROR_PLUGIN 19       /* unknown plug-in name */
#define AE_ERROR_OUTPUT 20       /* the sound server connection failed after start */
#define AE_ERROR_CALLBACK 21     /* not allowed from a sync callback (AE_Free) */
#define AE_ERROR_UNKNOWN 99

/* Configuration options (AE_SetConfig / AE_GetConfig / AE_SetConfigPtr). */
#define AE_CONFIG_BUFFER 0           /* playback buffer length, ms (default 500) */
#define AE_CONFIG_NET_TIMEOUT 11     /* connect time-out, ms (default 5000) */
#define AE_CONFIG_NET_BUFFER 12      /* download buffer length, ms of stream (default 5000) */
#define AE_CONFIG_NET_PREBUF 15      /* sound held, downloaded or decoded, before playback starts: % of the network buffer (default 75) */
#define AE_CONFIG_NET_AGENT 16       /* text (AE_SetConfigPtr): User-Agent sent to servers */
#define AE_CONFIG_NET_PLAYLIST 21    /* 0: never, 1: resolve playlist addresses in AE_StreamCreateURL */
#define AE_CONFIG_UPDATETHREADS 24   /* number of decoding threads (accepted, 1 to 8) */

/* AE_StreamCreateURL flags. */
#define AE_STREAM_STATUS 0x800000u   /* give the server's answer headers to the download callback */
#define AE_STREAM_BLOCK 0x100000u    /* download in small blocks, as a live stream */
#define AE_STREAM_AUTOFREE 0x40000u  /* free the stream by itself when its playback ends */

/* AE_StreamGetFilePosition modes. */
#define AE_FILEPOS_CURRENT 0u     /* DOWNLOAD less the sound held, not yet played, counted up to
                                     END and to the END this thread last read for the stream, so
                                     (DOWNLOAD - CURRENT) * 100 / END read in that order is at most
                                     100 even while END moves */
#define AE_FILEPOS_DOWNLOAD 1u    /* bytes of the stream downloaded */
#define AE_FILEPOS_END 2u         /* the network buffer in bytes of sound; Content-Length if less */
#define AE_FILEPOS_WMA_BUFFER 1000u /* download buffer fill, % (Windows Media streams only) */

/* AE_ChannelGetTags kinds. */
#define AE_TAG_OGG 2u       /* Vorbis/Opus comments of the current Ogg logical stream: list */
#define AE_TAG_HTTP 3u      /* HTTP answer: status line, then each header line: list */
#define AE_TAG_ICY 4u       /* ICY answer ("ICY 200 OK"): status line, then each header line: list */
#define AE_TAG_META 5u      /* last in-stream metadata text as received: one text */
#define AE_TAG_WMA 8u       /* Windows Media header tags, "name=value", lower-case names: list */
#define AE_TAG_WMA_META 11u /* Windows Media mid-stream metadata, "name=value": list */

/* AE_ChannelSetSync types. */
#define AE_SYNC_META 4u             /* in-stream (ICY) metadata reached the listener */
#define AE_SYNC_OGG_CHANGE 12u      /* a new Ogg logical stream reached the listener */
#define AE_SYNC_WMA_CHANGE 0x10100u /* Windows Media stream changed (new header) */
#define AE_SYNC_WMA_META 0x10101u   /* Windows Media mid-stream metadata */

/* AE_ChannelIsActive results. */
#define AE_ACTIVE_STOPPED 0u /* never played, ended, freed, or unknown handle */
#define AE_ACTIVE_PLAYING 1u
#define AE_ACTIVE_STALLED 2u /* playing but starved of data */
#define AE_ACTIVE_PAUSED 3u  /* output stopped (AE_Stop) */

/* Channel types (AE_CHANNELINFO.ctype). */
#define AE_CTYPE_STREAM_OGG 0x10002u  /* Ogg Vorbis */
#define AE_CTYPE_STREAM_MP1 0x10003u
#define AE_CTYPE_STREAM_MP2 0x10004u
#define AE_CTYPE_STREAM_MP3 0x10005u
#define AE_CTYPE_STREAM_WMA 0x10300u
#define AE_CTYPE_STREAM_WMA_MP3 0x10301u
#define AE_CTYPE_STREAM_AAC 0x10b00u
#define AE_CTYPE_STREAM_MP4 0x10b01u
#define AE_CTYPE_STREAM_OPUS 0x11200u  /* Ogg Opus */
#define AE_CTYPE_STREAM_FLAC 0x10900u
#define AE_CTYPE_STREAM_FLAC_OGG 0x10901u

/* AE_ChannelGetAttribute attributes. */
#define AE_ATTRIB_BITRATE 12u /* the stream's own bitrate, kbps (0 when unknown) */

/* AE_PluginLoad names enable codec families: "aewma" (Windows Media), "aeaac" (AAC, MP4). */

typedef struct AE_CHANNELINFO {
    uint32_t freq;        /* native sample rate, Hz */
    uint32_t chans;       /* channels */
    uint32_t flags;       /* the AE_STREAM_* flags the stream was created with */
    uint32_t ctype;       /* AE_CTYPE_* */
    uint32_t origres;     /* bits per sample of the source, 0 for compressed formats */
    uint32_t plugin;      /* handle of the plug-in that decodes it, 0 for built-in codecs */
    uint32_t sample;      /* unused, 0 */
    const char* filename; /* the address the stream was created from (valid while the stream exists) */
} AE_CHANNELINFO;

/* Download callback: with AE_STREAM_STATUS it is called once, on the thread that runs
   AE_StreamCreateURL and before that call returns, with the header block of the answer that
   the stream plays (status line and header lines, each ended by a NUL, closed by an empty
   one) and length 0. Answers that were playlists are not reported. */
typedef void (*AE_DOWNLOADPROC)(const void* buffer, uint32_t length, void* user);

/* Sync callback: called on the engine's one sync thread, in order, with no engine lock
   held, so it may call any engine operation but AE_Free. data: 0.
   Once AE_ChannelRemoveSync for a sync, or AE_StreamFree for its stream, has returned, no
   callback of that sync starts any more. A callback already running is not waited for (it may
   itself be waiting for the thread that removes or frees), so the caller's user data must stay
   valid until AE_Free has returned, which waits for it. */
typedef void (*AE_SYNCPROC)(AE_SYNC handle, AE_HANDLE channel, uint32_t data, void* user);

uint32_t AE_GetVersion(void);
int AE_ErrorGetCode(void);

/* device -1: the default device (the sound server). freq: output rate. win and clsid unused. */
AE_BOOL AE_Init(int device, uint32_t freq, uint32_t flags, void* win, const void* clsid);
/* Stops the output, frees every stream, aborts connections being made and joins every
   engine thread, waiting for a sync callback that is running. From a sync callback it does
   nothing and fails with AE_ERROR_CALLBACK (the sync thread cannot join itself). */
AE_BOOL AE_Free(void);

AE_BOOL AE_SetConfig(uint32_t option, uint32_t value);
uint32_t AE_GetConfig(uint32_t option); /* 0xFFFFFFFF and AE_ERROR_PARAM for unknown options */
AE_BOOL AE_SetConfigPtr(uint32_t option, const void* value);
/* Returns a non-zero plug-in handle, 0 when the name is unknown. flags: unused. */
uint32_t AE_PluginLoad(const char* file, uint32_t flags);

AE_BOOL AE_Stop(void);  /* pauses the output of every stream */
AE_BOOL AE_Start(void); /* resumes the output */
AE_BOOL AE_SetVolume(float volume); /* master volume 0..1: our stream's volume in the sound server */
float AE_GetVolume(void);           /* -1 on failure */

/* Blocks until the server has answered, the stream's format is known and its first sound is
   decoded, or fails (0): a stream with no decodable sound within the connect time-out fails
   with AE_ERROR_FORMAT. http, https, mms, mmsh, mmst; other schemes fail with AE_ERROR_URL.
   https, also where FFmpeg fetches the stream, verifies the server's certificate and host name
   against $SSL_CERT_FILE when it is set, else the system's store (AE_ERROR_CONNECT when that
   fails). */
AE_HANDLE AE_StreamCreateURL(const char* url, uint32_t offset, uint32_t flags,
                             AE_DOWNLOADPROC proc, void* user);
/* Aborts every AE_StreamCreateURL in progress when it is called: each returns 0 with
   AE_ERROR_ABORTED as soon as it has closed its connection. Creations that begin later are
   not affected. Streams already created stay as they are. */
AE_BOOL AE_StreamCreateAbort(void);
AE_BOOL AE_StreamFree(AE_HANDLE handle);
/* Returns (uint64_t)-1 on failure. */
uint64_t AE_StreamGetFilePosition(AE_HANDLE handle, uint32_t mode);

/* Returns null when the stream has no tags of that kind. A list is NUL-ended texts closed
   by an empty text; kind 5 is one NUL-ended text. The text is held for the calling thread:
   it stays readable until that thread's next AE_ChannelGetTags call for the same stream and
   kind, also when another thread frees the stream meanwhile. Within a sync callback it stays
   readable at least until the callback returns. A thread holds the texts of its 64 latest
   stream and kind pairs; older ones are let go.
   Kind 5 changes when the audio after a metadata block is heard; before playback starts it
   is the newest text downloaded. Kind 2 changes when a new chained Ogg stream is heard. */
const char* AE_ChannelGetTags(AE_HANDLE handle, uint32_t tags);
AE_SYNC AE_ChannelSetSync(AE_HANDLE handle, uint32_t type, uint64_t param, AE_SYNCPROC proc,
                          void* user);
AE_BOOL AE_ChannelRemoveSync(AE_HANDLE handle, AE_SYNC sync);
AE_BOOL AE_ChannelPlay(AE_HANDLE handle, AE_BOOL restart);
uint32_t AE_ChannelIsActive(AE_HANDLE handle);
/* Peak of about the last 20 ms heard: left in the low 16 bits, right in the high 16 bits,
   each 0..32768. 0xFFFFFFFF when the channel is not playing. */
uint32_t AE_ChannelGetLevel(AE_HANDLE handle);
AE_BOOL AE_ChannelGetInfo(AE_HANDLE handle, AE_CHANNELINFO* info);
/* Bytes of native 16-bit PCM (rate x channels x 2) for the given seconds. */
uint64_t AE_ChannelSeconds2Bytes(AE_HANDLE handle, double seconds);
AE_BOOL AE_ChannelGetAttribute(AE_HANDLE handle, uint32_t attrib, float* value);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_AUDIOENGINE_H */
