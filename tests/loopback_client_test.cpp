// The activation request every engine reads.
#include <gtest/gtest.h>

#include "winaudio/loopback_client_rules.h"

namespace {

TEST(ActivationRequest, OnlyAProcessLoopbackClientInAKnownModeIsAccepted) {
    struct Request {
        const wchar_t* path = VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK;
        IID riid = IID_IAudioClient;
        VARTYPE vt = VT_BLOB;
        ULONG size = sizeof(AUDIOCLIENT_ACTIVATION_PARAMS);
        bool data = true;
        DWORD type = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
        DWORD mode = PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    };
    const struct {
        const char* name;
        void (*change)(Request&);
        bool accepted;
    } cases[] = {
        {"excluding a tree", [](Request&) {}, true},
        {"including a tree", [](Request& r) { r.mode = PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE; },
         true},
        {"an unknown mode", [](Request& r) { r.mode = 2; }, false},
        {"the default activation", [](Request& r) { r.type = AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT; }, false},
        {"another device", [](Request& r) { r.path = L"VAD\\Other"; }, false},
        {"no device", [](Request& r) { r.path = nullptr; }, false},
        {"another interface", [](Request& r) { r.riid = IID_IAudioCaptureClient; }, false},
        {"not a blob", [](Request& r) { r.vt = VT_EMPTY; }, false},
        {"a short blob", [](Request& r) { r.size -= 1; }, false},
        {"a blob without data", [](Request& r) { r.data = false; }, false},
    };
    for (const auto& c : cases) {
        Request r;
        c.change(r);
        DWORD words[3] = {r.type, 4242, r.mode};  // type, pid, mode
        PROPVARIANT blob = {};
        blob.vt = r.vt;
        blob.blob.cbSize = r.size;
        blob.blob.pBlobData = r.data ? reinterpret_cast<BYTE*>(words) : nullptr;
        AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS read = {};
        EXPECT_EQ(readProcessLoopbackRequest(r.path, r.riid, &blob, read), c.accepted) << c.name;
        if (c.accepted) {
            EXPECT_EQ(read.TargetProcessId, 4242u) << c.name;
        }
    }
}

}  // namespace
