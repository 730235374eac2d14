#include "loopback/loopback_client_rules.h"

#include <cstring>
#include <cwchar>
#include "options/capture_options.h"
#include "stream/stream_format.h"

HRESULT checkLoopbackCaptureFormat(const WAVEFORMATEX& f, DWORD streamFlags) {
    const bool extensible = f.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    if (f.nChannels == 0 || f.nSamplesPerSec == 0 || f.wBitsPerSample == 0 || f.wBitsPerSample % 8 != 0 ||
        f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8 ||
        f.nAvgBytesPerSec != f.nSamplesPerSec * f.nBlockAlign || (extensible && f.cbSize < 22)) {
        return E_INVALIDARG;
    }
    // A plain format carries no extra bytes the client could use.
    if (!extensible && f.cbSize != 0) return E_INVALIDARG;
    const bool isFloat = f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && f.wBitsPerSample == stream::kBitsPerSample;
    if (!isFloat) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    if (stream::StreamFormat(f.nSamplesPerSec, f.nChannels) == stream::kDefaultFormat) return S_OK;
    const bool converts = (streamFlags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM) != 0;
    return converts && options::isOfferedRate(f.nSamplesPerSec) && f.nChannels <= 2
               ? S_OK
               : AUDCLNT_E_UNSUPPORTED_FORMAT;
}

HRESULT checkLoopbackInitialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, const WAVEFORMATEX& format) {
    const HRESULT formatStatus = checkLoopbackCaptureFormat(format, streamFlags);
    if (FAILED(formatStatus)) return formatStatus;
    if (shareMode != AUDCLNT_SHAREMODE_SHARED || (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) == 0) {
        return E_INVALIDARG;
    }
    return S_OK;
}

bool readProcessLoopbackRequest(LPCWSTR path, REFIID riid, const PROPVARIANT* params,
                                ProcessLoopbackRequest& request) {
    if (path == nullptr || std::wcscmp(path, VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK) != 0) return false;
    if (!IsEqualIID(riid, IID_IAudioClient) || params == nullptr || params->vt != VT_BLOB) return false;
    const ULONG size = params->blob.cbSize;
    const bool extended = kOneClientTakesSeveralTrees && size > sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) &&
                          (size - sizeof(AUDIOCLIENT_ACTIVATION_PARAMS)) % sizeof(DWORD) == 0;
    if ((size != sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) && !extended) || params->blob.pBlobData == nullptr) {
        return false;
    }
    // Read as plain numbers: a program may send a value no enumerator names.
    DWORD words[3];
    static_assert(sizeof words == sizeof(AUDIOCLIENT_ACTIVATION_PARAMS), "type, process id, mode");
    std::memcpy(words, params->blob.pBlobData, sizeof words);
    if (words[0] != AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK) return false;
    if (words[2] != PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE &&
        words[2] != PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE) {
        return false;
    }
    request.mode = static_cast<PROCESS_LOOPBACK_MODE>(words[2]);
    request.pids.assign(1, words[1]);
    for (ULONG offset = sizeof words; offset < size; offset += sizeof(DWORD)) {
        DWORD pid = 0;
        std::memcpy(&pid, params->blob.pBlobData + offset, sizeof pid);
        request.pids.push_back(pid);
    }
    return true;
}
