// The Windows audio declarations the program uses, for hosts without Windows: the same interfaces,
// in the same virtual slot order, with the same identifiers and constants as the Windows SDK.
#pragma once

#include "posix/com.h"

using REFERENCE_TIME = std::int64_t;
using VARTYPE = std::uint16_t;

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
#pragma pack(pop)
constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

struct BLOB {
    ULONG cbSize;
    BYTE* pBlobData;
};
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_BLOB = 65;
struct PROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        BLOB blob;
        std::uint64_t uhVal;
    };
};
// The process-loopback activation parameters and device path follow in winaudio/windows_audio.h, which
// declares them for every platform whose SDK lacks them.

enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 };
#define AUDCLNT_STREAMFLAGS_LOOPBACK 0x00020000
#define AUDCLNT_STREAMFLAGS_EVENTCALLBACK 0x00040000
#define AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY 0x08000000
#define AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM 0x80000000
enum _AUDCLNT_BUFFERFLAGS {
    AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1,
    AUDCLNT_BUFFERFLAGS_SILENT = 0x2,
    AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4,
};

constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = hresultFromBits(0x88890001u);
constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = hresultFromBits(0x88890002u);
constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = hresultFromBits(0x88890004u);
constexpr HRESULT AUDCLNT_E_NOT_STOPPED = hresultFromBits(0x88890005u);
constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = hresultFromBits(0x88890007u);
constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = hresultFromBits(0x88890008u);
constexpr HRESULT AUDCLNT_E_INVALID_SIZE = hresultFromBits(0x88890009u);
constexpr HRESULT AUDCLNT_E_BUFFER_OPERATION_PENDING = hresultFromBits(0x8889000Bu);
constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_SET = hresultFromBits(0x88890014u);
constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = hresultFromBits(0x88890010u);
constexpr HRESULT AUDCLNT_E_BUFFER_ERROR = hresultFromBits(0x88890018u);
constexpr HRESULT AUDCLNT_S_BUFFER_EMPTY = hresultFromBits(0x08890001u);

inline constexpr IID IID_IAudioClient = {
    0x1cb9ad4c, 0xdbfa, 0x4c32, {0xb1, 0x78, 0xc2, 0xf5, 0x68, 0xa7, 0x03, 0xb2}};
inline constexpr IID IID_IAudioCaptureClient = {
    0xc8adbd64, 0xe71e, 0x48a0, {0xa4, 0xde, 0x18, 0x5c, 0x39, 0x5c, 0xd3, 0x17}};
inline constexpr IID IID_IActivateAudioInterfaceCompletionHandler = {
    0x41d949ab, 0x9862, 0x444a, {0x80, 0xf6, 0xc2, 0x61, 0x33, 0x4d, 0xa5, 0xeb}};
inline constexpr IID IID_IActivateAudioInterfaceAsyncOperation = {
    0x72a22d78, 0xcde4, 0x431d, {0xb8, 0xcc, 0x84, 0x3a, 0x71, 0x19, 0x9b, 0x6d}};

struct IAudioClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                                 REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                                 const WAVEFORMATEX* format, LPCGUID audioSessionGuid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* bufferFrames) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* paddingFrames) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE shareMode,
                                                        const WAVEFORMATEX* format,
                                                        WAVEFORMATEX** closestMatch) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** deviceFormat) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                                      REFERENCE_TIME* minimumPeriod) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE eventHandle) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) = 0;
};

struct IAudioCaptureClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* framesToRead, DWORD* flags,
                                                UINT64* devicePosition, UINT64* qpcPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 framesRead) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* framesInNextPacket) = 0;
};

struct IActivateAudioInterfaceAsyncOperation : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult,
                                                        IUnknown** activatedInterface) = 0;
};

struct IActivateAudioInterfaceCompletionHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) = 0;
};

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid,
                                           PROPVARIANT* activationParams,
                                           IActivateAudioInterfaceCompletionHandler* completionHandler,
                                           IActivateAudioInterfaceAsyncOperation** activationOperation);
