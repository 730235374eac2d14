#include "winaudio/loopback_client_rules.h"

#include "stream/stream_format.h"

HRESULT checkLoopbackCaptureFormat(const WAVEFORMATEX& f) {
    const bool extensible = f.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    if (f.nChannels == 0 || f.nSamplesPerSec == 0 || f.wBitsPerSample == 0 || f.wBitsPerSample % 8 != 0 ||
        f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8 ||
        f.nAvgBytesPerSec != f.nSamplesPerSec * f.nBlockAlign || (extensible && f.cbSize < 22)) {
        return E_INVALIDARG;
    }
    // A plain format carries no extra bytes the client could use.
    if (!extensible && f.cbSize != 0) return E_INVALIDARG;
    const bool floatStereo48k =
        f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && f.nChannels == streamformat::kChannels &&
        f.nSamplesPerSec == streamformat::kSampleRate && f.wBitsPerSample == streamformat::kBitsPerSample;
    return floatStereo48k ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
}

HRESULT checkLoopbackInitialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, const WAVEFORMATEX& format) {
    const HRESULT formatStatus = checkLoopbackCaptureFormat(format);
    if (FAILED(formatStatus)) return formatStatus;
    if (shareMode != AUDCLNT_SHAREMODE_SHARED || (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) == 0) {
        return E_INVALIDARG;
    }
    return S_OK;
}
