#include "fake_engine.h"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

namespace {

struct Sync {
    uint32_t type;
    AE_SYNCPROC proc;
    void* user;
};

struct Stream {
    fake::StreamScript script;
    std::map<uint32_t, std::size_t> nextPosition;
    std::map<uint32_t, std::shared_ptr<const std::string>> tags;
    std::vector<std::shared_ptr<const std::string>> oldTags;  // pointers handed out stay valid
    std::vector<Sync> syncs;
    bool played = false;
};

// Guarded by Mutex: everything in State. Callbacks are never called while it is held.
struct State {
    std::map<std::string, fake::StreamScript> scripts;
    std::set<std::string> released;
    std::set<std::string> blocked;
    std::set<std::string> aborted;  // blocked creations that AE_StreamCreateAbort ended
    enum class Hold { Armed, Waiting, Released };
    std::map<std::string, Hold> holds;  // by call prefix
    std::map<AE_HANDLE, Stream> streams;
    std::vector<std::string> calls;
    uint32_t version = AE_VERSION;
    bool initOk = true;
    int initError = AE_ERROR_NO_SERVER;
    bool initialised = false;
    bool outputStopped = false;
    float volume = 1.0f;
    AE_HANDLE nextAutoHandle = 0x1000;
    bool envRead = false;
    bool envPlaying = false;
};

std::mutex& Mutex = *new std::mutex;
std::condition_variable& Changed = *new std::condition_variable;
State& S = *new State;
thread_local int LastError = AE_OK;

void ReadEnvironment() {
    if (S.envRead) return;
    S.envRead = true;
    if (const char* v = std::getenv("VELMORA_FAKE_VERSION"))
        S.version = (uint32_t(std::strtoul(v, nullptr, 0)) << 16) | 0x0100;
    if (const char* v = std::getenv("VELMORA_FAKE_INIT_FAIL")) S.initOk = std::string(v) != "1";
    if (const char* v = std::getenv("VELMORA_FAKE_INIT_ERROR"))
        S.initError = int(std::strtol(v, nullptr, 0));
    if (const char* v = std::getenv("VELMORA_FAKE_PLAYING")) S.envPlaying = std::string(v) == "1";
}

void Log(const std::string& call) {
    S.calls.push_back(call);
}

// Waits at an armed hold whose prefix the call starts with; called without Mutex held.
void PassHold(const std::string& call) {
    std::unique_lock lock(Mutex);
    for (auto& [prefix, hold] : S.holds) {
        if (hold != State::Hold::Armed || call.rfind(prefix, 0) != 0) continue;
        hold = State::Hold::Waiting;
        Changed.notify_all();
        const std::string key = prefix;
        Changed.wait(lock, [&] { return S.holds[key] == State::Hold::Released; });
        S.holds.erase(key);
        return;
    }
}

template <typename T>
T Fail(int error, T result) {
    LastError = error;
    return result;
}

template <typename T>
T Ok(T result) {
    LastError = AE_OK;
    return result;
}

Stream* Find(AE_HANDLE handle) {
    auto it = S.streams.find(handle);
    return it == S.streams.end() ? nullptr : &it->second;
}

std::shared_ptr<const std::string> Terminated(const std::string& bytes) {
    return std::make_shared<const std::string>(bytes + std::string(2, '\0'));
}

fake::StreamScript PlayingScript() {
    fake::StreamScript script;
    script.handle = S.nextAutoHandle++;
    script.positions[AE_FILEPOS_END] = {100000};
    script.positions[AE_FILEPOS_DOWNLOAD] = {90000};
    script.positions[AE_FILEPOS_CURRENT] = {0};
    script.tags[AE_TAG_ICY] = fake::List({"ICY 200 OK", "icy-name:Fake Station", "icy-br:128"});
    script.tags[AE_TAG_META] = "StreamTitle='Fake Artist - Fake Song';";
    script.info = AE_CHANNELINFO{44100, 2, 0, AE_CTYPE_STREAM_MP3, 0, 0, 0, nullptr};
    script.bitrate = 128;
    return script;
}

uint32_t MovingLevel() {
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const auto left = uint32_t((std::sin(t * 3.0) + 1.0) * 16384.0);
    const auto right = uint32_t((std::cos(t * 2.3) + 1.0) * 16384.0);
    return (std::min(left, 32768u)) | (std::min(right, 32768u) << 16);
}

}  // namespace

namespace fake {

void Reset() {
    std::lock_guard lock(Mutex);
    S.scripts.clear();
    S.released.clear();
    S.blocked.clear();
    S.aborted.clear();
    S.holds.clear();
    S.streams.clear();
    S.calls.clear();
    S.version = AE_VERSION;
    S.initOk = true;
    S.initError = AE_ERROR_NO_SERVER;
    S.initialised = false;
    S.outputStopped = false;
    S.volume = 1.0f;
    S.envRead = true;  // tests script everything themselves
    S.envPlaying = false;
    Changed.notify_all();
}

void Script(const std::string& url, const StreamScript& script) {
    std::lock_guard lock(Mutex);
    S.scripts[url] = script;
}

void Release(const std::string& url) {
    {
        std::lock_guard lock(Mutex);
        S.released.insert(url);
    }
    Changed.notify_all();
}

bool IsBlocked(const std::string& url) {
    std::lock_guard lock(Mutex);
    return S.blocked.count(url) > 0;
}

bool WaitBlocked(const std::string& url, std::chrono::milliseconds timeout) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return S.blocked.count(url) > 0; });
}

void HoldCall(const std::string& prefix) {
    std::lock_guard lock(Mutex);
    S.holds[prefix] = State::Hold::Armed;
}

void ReleaseCall(const std::string& prefix) {
    {
        std::lock_guard lock(Mutex);
        S.holds[prefix] = State::Hold::Released;
    }
    Changed.notify_all();
}

bool WaitCallHeld(const std::string& prefix, std::chrono::milliseconds timeout) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] {
        const auto hold = S.holds.find(prefix);
        return hold != S.holds.end() && hold->second == State::Hold::Waiting;
    });
}

void SetTags(AE_HANDLE handle, uint32_t kind, const std::optional<std::string>& bytes) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream) return;
    auto& slot = stream->tags[kind];
    if (slot) stream->oldTags.push_back(slot);
    if (bytes)
        slot = Terminated(*bytes);
    else
        stream->tags.erase(kind);
}

void SetActive(AE_HANDLE handle, uint32_t active) {
    std::lock_guard lock(Mutex);
    if (Stream* stream = Find(handle)) stream->script.active = active;
}

int FireSync(AE_HANDLE handle, uint32_t type) {
    std::vector<Sync> chosen;
    {
        std::lock_guard lock(Mutex);
        Stream* stream = Find(handle);
        if (!stream) return 0;
        for (const Sync& sync : stream->syncs)
            if (sync.type == type) chosen.push_back(sync);
    }
    for (std::size_t i = 0; i < chosen.size(); ++i)
        chosen[i].proc(AE_SYNC(i + 1), handle, 0, chosen[i].user);
    return int(chosen.size());
}

int SyncCount(AE_HANDLE handle, uint32_t type) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream) return 0;
    int count = 0;
    for (const Sync& sync : stream->syncs) count += sync.type == type;
    return count;
}

void SetVersion(uint32_t version) {
    std::lock_guard lock(Mutex);
    S.version = version;
}

void SetInitResult(bool ok, int errorCode) {
    std::lock_guard lock(Mutex);
    S.initOk = ok;
    S.initError = errorCode;
}

void SetVolumeValue(float volume) {
    std::lock_guard lock(Mutex);
    S.volume = volume;
}

bool IsLive(AE_HANDLE handle) {
    std::lock_guard lock(Mutex);
    return Find(handle) != nullptr;
}

std::vector<std::string> Calls() {
    std::lock_guard lock(Mutex);
    return S.calls;
}

void ClearCalls() {
    std::lock_guard lock(Mutex);
    S.calls.clear();
}

int FindCall(const std::string& prefix) {
    std::lock_guard lock(Mutex);
    for (std::size_t i = 0; i < S.calls.size(); ++i)
        if (S.calls[i].rfind(prefix, 0) == 0) return int(i);
    return -1;
}

int CountCalls(const std::string& prefix) {
    std::lock_guard lock(Mutex);
    int count = 0;
    for (const auto& call : S.calls) count += call.rfind(prefix, 0) == 0;
    return count;
}

std::string List(const std::vector<std::string>& entries) {
    std::string list;
    for (const auto& entry : entries) list += entry + '\0';
    return list;
}

}  // namespace fake

extern "C" {

uint32_t AE_GetVersion(void) {
    std::lock_guard lock(Mutex);
    ReadEnvironment();
    return Ok(S.version);
}

int AE_ErrorGetCode(void) {
    return LastError;
}

AE_BOOL AE_Init(int device, uint32_t freq, uint32_t flags, void*, const void*) {
    std::lock_guard lock(Mutex);
    ReadEnvironment();
    std::ostringstream call;
    call << "AE_Init(" << device << "," << freq << "," << flags << ")";
    Log(call.str());
    if (!S.initOk) return Fail(S.initError, 0);
    if (S.initialised) return Fail(AE_ERROR_ALREADY, 0);
    S.initialised = true;
    return Ok(1);
}

AE_BOOL AE_Free(void) {
    std::lock_guard lock(Mutex);
    Log("AE_Free()");
    S.streams.clear();
    S.initialised = false;
    return Ok(1);
}

AE_BOOL AE_SetConfig(uint32_t option, uint32_t value) {
    std::lock_guard lock(Mutex);
    Log("AE_SetConfig(" + std::to_string(option) + "," + std::to_string(value) + ")");
    return Ok(1);
}

uint32_t AE_GetConfig(uint32_t) {
    return Fail(AE_ERROR_PARAM, 0xFFFFFFFFu);
}

AE_BOOL AE_SetConfigPtr(uint32_t option, const void* value) {
    std::lock_guard lock(Mutex);
    Log("AE_SetConfigPtr(" + std::to_string(option) + "," +
        (value ? static_cast<const char*>(value) : "") + ")");
    return Ok(1);
}

uint32_t AE_PluginLoad(const char* file, uint32_t flags) {
    std::lock_guard lock(Mutex);
    const std::string name = file ? file : "";
    Log("AE_PluginLoad(" + name + "," + std::to_string(flags) + ")");
    if (name == "aewma") return Ok(1u);
    if (name == "aeaac") return Ok(2u);
    return Fail(AE_ERROR_PLUGIN, 0u);
}

AE_BOOL AE_Stop(void) {
    std::lock_guard lock(Mutex);
    Log("AE_Stop()");
    S.outputStopped = true;
    return Ok(1);
}

AE_BOOL AE_Start(void) {
    std::lock_guard lock(Mutex);
    Log("AE_Start()");
    S.outputStopped = false;
    return Ok(1);
}

AE_BOOL AE_SetVolume(float volume) {
    std::lock_guard lock(Mutex);
    std::ostringstream call;
    call << "AE_SetVolume(" << volume << ")";
    Log(call.str());
    if (!(volume >= 0 && volume <= 1)) return Fail(AE_ERROR_PARAM, 0);
    S.volume = volume;
    return Ok(1);
}

float AE_GetVolume(void) {
    std::lock_guard lock(Mutex);
    return Ok(S.volume);
}

AE_HANDLE AE_StreamCreateURL(const char* url, uint32_t offset, uint32_t flags, AE_DOWNLOADPROC,
                             void*) {
    const std::string address = url ? url : "";
    std::unique_lock lock(Mutex);
    std::ostringstream call;
    call << "AE_StreamCreateURL(" << address << "," << offset << ",0x" << std::hex << flags << ")";
    Log(call.str());
    auto found = S.scripts.find(address);
    fake::StreamScript script;
    if (found != S.scripts.end()) {
        script = found->second;
    } else if (S.envPlaying && !address.empty()) {
        script = PlayingScript();
    } else {
        return Fail(address.empty() ? AE_ERROR_URL : AE_ERROR_CONNECT, AE_HANDLE(0));
    }
    if (script.block) {
        S.blocked.insert(address);
        Changed.notify_all();
        Changed.wait(lock,
                     [&] { return S.released.count(address) > 0 || S.aborted.count(address) > 0; });
        S.released.erase(address);
        S.blocked.erase(address);
        if (S.aborted.erase(address) > 0) return Fail(AE_ERROR_ABORTED, AE_HANDLE(0));
    }
    if (script.handle == 0) return Fail(script.errorCode, AE_HANDLE(0));
    Stream stream;
    stream.script = script;
    for (const auto& [kind, bytes] : script.tags) stream.tags[kind] = Terminated(bytes);
    S.streams[script.handle] = std::move(stream);
    return Ok(script.handle);
}

AE_BOOL AE_StreamCreateAbort(void) {
    {
        std::lock_guard lock(Mutex);
        Log("AE_StreamCreateAbort()");
        S.aborted.insert(S.blocked.begin(), S.blocked.end());
    }
    Changed.notify_all();
    return Ok(1);
}

AE_BOOL AE_StreamFree(AE_HANDLE handle) {
    std::lock_guard lock(Mutex);
    Log("AE_StreamFree(" + std::to_string(handle) + ")");
    if (S.streams.erase(handle) == 0) return Fail(AE_ERROR_HANDLE, 0);
    return Ok(1);
}

uint64_t AE_StreamGetFilePosition(AE_HANDLE handle, uint32_t mode) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream) return Fail(AE_ERROR_HANDLE, ~uint64_t{0});
    auto values = stream->script.positions.find(mode);
    if (values == stream->script.positions.end() || values->second.empty())
        return Fail(AE_ERROR_NOT_AVAILABLE, ~uint64_t{0});
    std::size_t& next = stream->nextPosition[mode];
    const uint64_t value = values->second[std::min(next, values->second.size() - 1)];
    ++next;
    return Ok(value);
}

const char* AE_ChannelGetTags(AE_HANDLE handle, uint32_t kind) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream) return Fail(AE_ERROR_HANDLE, static_cast<const char*>(nullptr));
    auto tags = stream->tags.find(kind);
    if (tags == stream->tags.end() || !tags->second)
        return Fail(AE_ERROR_NOT_AVAILABLE, static_cast<const char*>(nullptr));
    return Ok(tags->second->c_str());
}

AE_SYNC AE_ChannelSetSync(AE_HANDLE handle, uint32_t type, uint64_t param, AE_SYNCPROC proc,
                          void* user) {
    const std::string call = "AE_ChannelSetSync(" + std::to_string(handle) + "," +
                             std::to_string(type) + "," + std::to_string(param) + ")";
    PassHold(call);
    std::lock_guard lock(Mutex);
    Log(call);
    Stream* stream = Find(handle);
    if (!stream || !proc) return Fail(stream ? AE_ERROR_PARAM : AE_ERROR_HANDLE, AE_SYNC(0));
    stream->syncs.push_back({type, proc, user});
    return Ok(AE_SYNC(stream->syncs.size()));
}

AE_BOOL AE_ChannelRemoveSync(AE_HANDLE handle, AE_SYNC sync) {
    std::lock_guard lock(Mutex);
    Log("AE_ChannelRemoveSync(" + std::to_string(handle) + "," + std::to_string(sync) + ")");
    return Fail(AE_ERROR_NOT_AVAILABLE, 0);
}

AE_BOOL AE_ChannelPlay(AE_HANDLE handle, AE_BOOL restart) {
    const std::string call =
        "AE_ChannelPlay(" + std::to_string(handle) + "," + std::to_string(restart) + ")";
    PassHold(call);
    std::lock_guard lock(Mutex);
    Log(call);
    Stream* stream = Find(handle);
    if (!stream) return Fail(AE_ERROR_HANDLE, 0);
    stream->played = true;
    return Ok(1);
}

uint32_t AE_ChannelIsActive(AE_HANDLE handle) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream || !stream->played) return Ok(AE_ACTIVE_STOPPED);
    if (S.outputStopped && stream->script.active == AE_ACTIVE_PLAYING) return Ok(AE_ACTIVE_PAUSED);
    return Ok(stream->script.active);
}

uint32_t AE_ChannelGetLevel(AE_HANDLE handle) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream || !stream->played || stream->script.active != AE_ACTIVE_PLAYING || S.outputStopped)
        return Fail(AE_ERROR_NOT_AVAILABLE, 0xFFFFFFFFu);
    return Ok(S.envPlaying ? MovingLevel() : stream->script.level);
}

AE_BOOL AE_ChannelGetInfo(AE_HANDLE handle, AE_CHANNELINFO* info) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream) return Fail(AE_ERROR_HANDLE, 0);
    if (!info || !stream->script.info) return Fail(AE_ERROR_NOT_AVAILABLE, 0);
    *info = *stream->script.info;
    return Ok(1);
}

uint64_t AE_ChannelSeconds2Bytes(AE_HANDLE handle, double seconds) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream) return Fail(AE_ERROR_HANDLE, ~uint64_t{0});
    return Ok(uint64_t(std::llround(double(stream->script.bytesPerMillisecond) * seconds * 1000)));
}

AE_BOOL AE_ChannelGetAttribute(AE_HANDLE handle, uint32_t attrib, float* value) {
    std::lock_guard lock(Mutex);
    Stream* stream = Find(handle);
    if (!stream) return Fail(AE_ERROR_HANDLE, 0);
    if (attrib != AE_ATTRIB_BITRATE || !value || !stream->script.bitrate)
        return Fail(AE_ERROR_NOT_AVAILABLE, 0);
    *value = *stream->script.bitrate;
    return Ok(1);
}

}  // extern "C"
