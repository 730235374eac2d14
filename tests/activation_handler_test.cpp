// The completion handler against fakes of the activation operation and of the activated objects.
#include <gtest/gtest.h>

#include "winaudio/activation_handler.h"

namespace {

// Counts references and answers QueryInterface for IAudioClient only when it is one.
class FakeObject : public IAudioClient {
  public:
    explicit FakeObject(bool isAudioClient) : m_isAudioClient(isAudioClient) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || (m_isAudioClient && IsEqualIID(riid, IID_IAudioClient))) {
            *object = static_cast<IAudioClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                         const WAVEFORMATEX*, LPCGUID) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Start() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }

    ULONG refs = 1;

  private:
    const bool m_isAudioClient;
};

// Hands out a status and an object (with a reference), or, when `writes` is false, writes nothing.
class FakeOperation : public IActivateAudioInterfaceAsyncOperation {
  public:
    FakeOperation(HRESULT status, IUnknown* object, bool writes = true)
        : m_status(status), m_object(object), m_writes(writes) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* status, IUnknown** object) override {
        if (!m_writes) return E_FAIL;
        *status = m_status;
        *object = m_object;
        if (m_object != nullptr) m_object->AddRef();
        return S_OK;
    }

  private:
    const HRESULT m_status;
    IUnknown* const m_object;
    const bool m_writes;
};

bool isSignalled(const ActivationHandler* handler) {
    return WaitForSingleObject(handler->m_event, 0) == WAIT_OBJECT_0;
}

// The count as the object sees it, read without changing it.
ULONG refCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

TEST(ActivationHandler, StartsPendingWithOneReference) {
    auto* handler = new ActivationHandler();
    EXPECT_EQ(handler->m_activateResult, E_FAIL);
    EXPECT_EQ(handler->m_client, nullptr);
    EXPECT_FALSE(isSignalled(handler));
    EXPECT_EQ(handler->Release(), 0u);
}

TEST(ActivationHandler, QueryInterfaceHandsOutEachViewWithOneReference) {
    auto* handler = new ActivationHandler();
    IActivateAudioInterfaceCompletionHandler* primary = handler;
    IAgileObject* agile = handler;
    ASSERT_NE(static_cast<void*>(primary), static_cast<void*>(agile));

    for (IUnknown* view : {static_cast<IUnknown*>(primary), static_cast<IUnknown*>(agile)}) {
        void* object = nullptr;
        ASSERT_EQ(view->QueryInterface(IID_IUnknown, &object), S_OK);
        EXPECT_EQ(object, static_cast<void*>(primary));
        ASSERT_EQ(view->QueryInterface(IID_IActivateAudioInterfaceCompletionHandler, &object), S_OK);
        EXPECT_EQ(object, static_cast<void*>(primary));
        ASSERT_EQ(view->QueryInterface(IID_IAgileObject, &object), S_OK);
        EXPECT_EQ(object, static_cast<void*>(agile));
        EXPECT_EQ(refCount(view), 4u);
        for (int i = 0; i < 3; ++i) view->Release();
    }

    // Unknown identifiers, including one a single byte away from a known one, change nothing.
    IID nearlyAgile = IID_IAgileObject;
    nearlyAgile.Data4[7] ^= 1;
    for (const IID* riid : {&IID_IAudioClient, static_cast<const IID*>(&nearlyAgile)}) {
        void* object = &nearlyAgile;
        EXPECT_EQ(agile->QueryInterface(*riid, &object), E_NOINTERFACE);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(refCount(primary), 1u);
    EXPECT_EQ(agile->Release(), 0u);
}

TEST(ActivationHandler, LastReleaseClosesTheEventOnceAndLeavesTheClientAlone) {
    FakeObject client(true);
    auto* handler = new ActivationHandler();
    handler->m_client = &client;
    const HANDLE event = handler->m_event;
    handler->AddRef();
    EXPECT_EQ(handler->Release(), 1u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "still open";
    EXPECT_EQ(handler->Release(), 0u);
    EXPECT_EQ(client.refs, 1u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED) << "closed";
}

TEST(ActivationHandler, SuccessKeepsTheClientWithOneReferenceAndSignals) {
    FakeObject client(true);
    FakeOperation operation(S_OK, &client);
    auto* handler = new ActivationHandler();
    EXPECT_EQ(handler->ActivateCompleted(&operation), S_OK);
    EXPECT_EQ(handler->m_activateResult, S_OK);
    EXPECT_EQ(handler->m_client, static_cast<IAudioClient*>(&client));
    EXPECT_EQ(client.refs, 2u);  // the operation's own, and the one handed to the driver
    EXPECT_TRUE(isSignalled(handler));
    handler->Release();
    EXPECT_EQ(client.refs, 2u);
}

TEST(ActivationHandler, EveryOtherOutcomeStoresTheStatusLeavesNoClientAndSignals) {
    FakeObject notAClient(false);
    FakeObject client(true);
    struct Case {
        const char* name;
        HRESULT status;
        IUnknown* object;
        bool writes;
        HRESULT expected;
    } cases[] = {
        {"failure status", AUDCLNT_E_DEVICE_INVALIDATED, nullptr, true, AUDCLNT_E_DEVICE_INVALIDATED},
        {"object without IAudioClient", S_OK, &notAClient, true, S_OK},
        {"failure status with an object", E_OUTOFMEMORY, &client, true, E_OUTOFMEMORY},
        {"operation writes nothing", S_OK, nullptr, false, E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOperation operation(c.status, c.object, c.writes);
        auto* handler = new ActivationHandler();
        EXPECT_EQ(handler->ActivateCompleted(&operation), S_OK);
        EXPECT_EQ(handler->m_activateResult, c.expected);
        EXPECT_EQ(handler->m_client, nullptr);
        EXPECT_TRUE(isSignalled(handler));
        handler->Release();
    }
    // Whatever object the operation handed over was released again.
    EXPECT_EQ(notAClient.refs, 1u);
    EXPECT_EQ(client.refs, 1u);
}

}  // namespace
