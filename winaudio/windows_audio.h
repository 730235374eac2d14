// The one header through which the program reaches the platform: the Windows SDK on Windows, the
// stand-in layer in posix/ elsewhere. Every Windows audio, COM, kernel and C runtime call the driver
// makes is declared here.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <avrt.h>
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <cwchar>
#include <cstdlib>

#if defined(__has_include)
#if __has_include(<audioclientactivationparams.h>)
#include <audioclientactivationparams.h>
#define AUDIO_HELPER_SDK_HAS_ACTIVATION_PARAMS 1
#endif
#endif

#else  // !_WIN32

#include "posix/win32.h"
#include "posix/crt.h"
#include "posix/com.h"
#include "posix/audio.h"

#endif

#ifndef AUDIO_HELPER_SDK_HAS_ACTIVATION_PARAMS
// Process-loopback activation, as the Windows 10 2004 SDK declares it; older SDKs (MinGW-w64's among
// them) and the stand-in layer do not have it. The one place the device path is spelled out.
typedef enum AUDIOCLIENT_ACTIVATION_TYPE {
    AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
    AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1
} AUDIOCLIENT_ACTIVATION_TYPE;

typedef enum PROCESS_LOOPBACK_MODE {
    PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
    PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1
} PROCESS_LOOPBACK_MODE;

typedef struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
    DWORD TargetProcessId;
    PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
} AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS;

typedef struct AUDIOCLIENT_ACTIVATION_PARAMS {
    AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
    union {
        AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
    };
} AUDIOCLIENT_ACTIVATION_PARAMS;

#define VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK L"VAD\\Process_Loopback"
#endif

// Whether one process-loopback client can take several process trees: the activation blob may then carry
// more process ids after its parameters. Windows takes one tree per client, and cannot leave several out.
#ifdef _WIN32
constexpr bool kOneClientTakesSeveralTrees = false;
#else
constexpr bool kOneClientTakesSeveralTrees = true;
#endif

// The monotonic clock the status channel reports in, as a parent stamps its video with it: Windows's
// performance counter in 100 ns units (the positions' own unit), CLOCK_MONOTONIC in nanoseconds elsewhere.
#ifdef _WIN32
constexpr const char* kStatusClockUnit = "qpc-100ns";
constexpr unsigned long long kStatusClockUnitsPerTick = 1;
#else
constexpr const char* kStatusClockUnit = "monotonic-ns";
constexpr unsigned long long kStatusClockUnitsPerTick = 100;
#endif

// Watches standard input on a thread of its own. Once it ends (the parent closed it) or cannot be read,
// a Ctrl+C event reaches the console handlers, `handler` among them, as from the console: the clean stop
// a parent without a console can give. False when the thread could not be started.
// (Windows: winaudio/input_end.cpp; elsewhere the stand-in's, posix/input_end.cpp.)
bool watchInputEnd(PHANDLER_ROUTINE handler);

// Calls ended(context, pid) on a thread of its own once process `pid` has ended. False when it cannot be
// watched (no such process, no right to wait on it). (Windows: winaudio/process_end.cpp, a wait on the
// process handle; elsewhere posix/process_end.cpp, a pidfd.)
bool watchProcessEnd(DWORD pid, void (*ended)(void* context, DWORD pid), void* context);

// Whether audio that the capture should hear is playing now by the render side's own account (sessions
// and their meters): from processes outside the trees of `roots` (`include`: inside them). 1 yes, 0 no,
// -1 the platform cannot tell. Called from one thread only. Each build brings its own: the simulated
// engine's (simaudio/render_meters.cpp), Windows's (winaudio/render_meters.cpp), the Linux engines'
// (linuxaudio/render_meters.cpp).
int playingForCapture(const DWORD* roots, unsigned rootCount, bool include);

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12, "the activation blob is three 32-bit fields");
