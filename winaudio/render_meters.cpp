// Windows's account of what plays: the sessions of the active render endpoints, each with its process
// and its peak meter. A session counts when its meter is above the floor and its process lies outside the
// rule's trees (inside them with --include); a session of several processes (or the system sounds) has
// no process, and lies outside every tree. The trees are followed through parent process ids, as the
// process-loopback client follows them.
#include <audiopolicy.h>
#include <tlhelp32.h>

#include <vector>

#include "winaudio/windows_audio.h"

namespace {

// The interfaces asked for, spelled out: the SDK declares some only.
constexpr GUID kClsidDeviceEnumerator = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};
constexpr GUID kIidDeviceEnumerator = {
    0xa95664d2, 0x9614, 0x4f35, {0xa7, 0x46, 0xde, 0x8d, 0xb6, 0x36, 0x17, 0xe6}};
constexpr GUID kIidSessionManager2 = {
    0x77aa99a0, 0x1bd6, 0x484f, {0x8b, 0xc7, 0x2c, 0x65, 0x4c, 0x9a, 0x9b, 0x6f}};
constexpr GUID kIidSessionControl2 = {
    0xbfb7ff88, 0x7239, 0x4fc9, {0x8f, 0xa2, 0x07, 0xc9, 0x50, 0xbe, 0x9c, 0x6d}};
constexpr GUID kIidMeterInformation = {
    0xc02216f6, 0x8c67, 0x4b5b, {0x9d, 0x00, 0xd0, 0x08, 0xe7, 0x3e, 0x00, 0x64}};

// IAudioMeterInformation, which MinGW-w64's headers only name, in the Windows SDK's method order.
struct AudioMeter : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetPeakValue(float* peak) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMeteringChannelCount(UINT* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChannelsPeakValues(UINT32 count, float* peaks) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* mask) = 0;
};

// Below this peak (-80 dBFS) a session is taken as silent.
constexpr float kAudiblePeak = 1e-4f;

template <class T>
void release(T*& object) {
    if (object != nullptr) object->Release();
    object = nullptr;
}

struct Process {
    DWORD pid;
    DWORD parent;
};

std::vector<Process> processes() {
    std::vector<Process> list;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return list;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        list.push_back({entry.th32ProcessID, entry.th32ParentProcessID});
    CloseHandle(snapshot);
    return list;
}

bool inTrees(DWORD pid, const DWORD* roots, unsigned rootCount, const std::vector<Process>& list) {
    // A bounded walk up the parents: ids are reused, and a cycle must not hold the watch.
    for (int depth = 0; depth < 64 && pid != 0; ++depth) {
        for (unsigned i = 0; i < rootCount; ++i)
            if (roots[i] == pid) return true;
        DWORD parent = 0;
        for (const Process& process : list)
            if (process.pid == pid) parent = process.parent;
        if (parent == pid) break;
        pid = parent;
    }
    return false;
}

// Whether one endpoint has a session that plays for the capture.
bool endpointPlays(IMMDevice* device, const DWORD* roots, unsigned rootCount, bool include,
                   const std::vector<Process>& list) {
    IAudioSessionManager2* manager = nullptr;
    if (FAILED(
            device->Activate(kIidSessionManager2, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&manager))))
        return false;
    IAudioSessionEnumerator* sessions = nullptr;
    bool plays = false;
    int count = 0;
    if (SUCCEEDED(manager->GetSessionEnumerator(&sessions)) && SUCCEEDED(sessions->GetCount(&count))) {
        for (int i = 0; i < count && !plays; ++i) {
            IAudioSessionControl* control = nullptr;
            IAudioSessionControl2* control2 = nullptr;
            AudioMeter* meter = nullptr;
            AudioSessionState state = AudioSessionStateInactive;
            float peak = 0;
            DWORD pid = 0;
            if (SUCCEEDED(sessions->GetSession(i, &control)) && SUCCEEDED(control->GetState(&state)) &&
                state == AudioSessionStateActive &&
                SUCCEEDED(control->QueryInterface(kIidMeterInformation, reinterpret_cast<void**>(&meter))) &&
                SUCCEEDED(meter->GetPeakValue(&peak)) && peak > kAudiblePeak) {
                // AUDCLNT_S_NO_SINGLE_PROCESS leaves pid 0: a session of no one tree.
                if (SUCCEEDED(
                        control->QueryInterface(kIidSessionControl2, reinterpret_cast<void**>(&control2))) &&
                    control2->GetProcessId(&pid) != S_OK)
                    pid = 0;
                plays = inTrees(pid, roots, rootCount, list) == include;
            }
            release(meter);
            release(control2);
            release(control);
        }
    }
    release(sessions);
    release(manager);
    return plays;
}

}  // namespace

int playingForCapture(const DWORD* roots, unsigned rootCount, bool include) {
    // This thread's apartment, and the enumerator, for the life of the process.
    static const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static IMMDeviceEnumerator* enumerator = nullptr;
    if (FAILED(joined) && joined != RPC_E_CHANGED_MODE) return -1;
    if (enumerator == nullptr &&
        FAILED(CoCreateInstance(kClsidDeviceEnumerator, nullptr, CLSCTX_ALL, kIidDeviceEnumerator,
                                reinterpret_cast<void**>(&enumerator))))
        return -1;
    IMMDeviceCollection* devices = nullptr;
    UINT count = 0;
    if (FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices)) ||
        FAILED(devices->GetCount(&count))) {
        release(devices);
        return -1;
    }
    const std::vector<Process> list = processes();
    bool plays = false;
    for (UINT i = 0; i < count && !plays; ++i) {
        IMMDevice* device = nullptr;
        if (SUCCEEDED(devices->Item(i, &device)))
            plays = endpointPlays(device, roots, rootCount, include, list);
        release(device);
    }
    release(devices);
    return plays ? 1 : 0;
}
