// What the process-loopback audio client accepts in IAudioClient::Initialize, in one place for every
// engine that stands in for it, so a program that passes the wrong values fails everywhere as on Windows.
#pragma once

#include <vector>

#include "winaudio/windows_audio.h"

// The format alone: a consistent structure, then the one format every client delivers (32-bit float
// stereo at 48 kHz), or, for a client that `converts`, 32-bit float mono or stereo at one of the rates a
// parent may ask for.
HRESULT checkLoopbackCaptureFormat(const WAVEFORMATEX& format, bool converts = false);

// The format, then the share mode and the loopback flag; the caller checks for a null format first.
HRESULT checkLoopbackInitialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, const WAVEFORMATEX& format,
                                bool converts = false);

// Whether the client signals an event for each packet rather than being polled.
inline bool wantsPacketEvents(DWORD streamFlags) {
    return (streamFlags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
}

// The process trees one client captures or leaves out.
struct ProcessLoopbackRequest {
    PROCESS_LOOPBACK_MODE mode = PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    std::vector<DWORD> pids;  // the parameters' target first, then any the blob adds
};

// An activation request as ActivateAudioInterfaceAsync checks it: the process-loopback device path, the
// audio client's interface and a blob of AUDIOCLIENT_ACTIVATION_PARAMS asking for process loopback in one
// of its two modes. Where one client takes several trees (kOneClientTakesSeveralTrees), 32-bit process ids
// may follow the parameters in the blob. Fills `request` and returns true only for such a request.
bool readProcessLoopbackRequest(LPCWSTR path, REFIID riid, const PROPVARIANT* params,
                                ProcessLoopbackRequest& request);
