// The COM runtime types the program uses, for hosts without Windows: HRESULT, GUIDs with their real
// values, and IUnknown with the same virtual slot order as the Windows SDK's.
#pragma once

#include <cstring>

#include "posix/win32.h"

using HRESULT = std::int32_t;

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

constexpr HRESULT hresultFromBits(std::uint32_t bits) { return static_cast<HRESULT>(bits); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = hresultFromBits(0x80004001u);
constexpr HRESULT E_NOINTERFACE = hresultFromBits(0x80004002u);
constexpr HRESULT E_POINTER = hresultFromBits(0x80004003u);
constexpr HRESULT E_FAIL = hresultFromBits(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = hresultFromBits(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = hresultFromBits(0x80070057u);
constexpr HRESULT RPC_E_CHANGED_MODE = hresultFromBits(0x80010106u);

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;
using REFGUID = const GUID&;
using LPCGUID = const GUID*;

inline bool IsEqualIID(REFIID a, REFIID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IAgileObject = {
    0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IAgileObject : IUnknown {};

// Apartments are per thread, as on Windows: the first join gives S_OK, later ones S_FALSE, and a
// different model RPC_E_CHANGED_MODE.
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();

namespace posix {
// The apartment bookkeeping behind CoInitializeEx and CoUninitialize, for layers that stand in front.
HRESULT joinApartment(LPVOID reserved, DWORD coInit);
void leaveApartment();
}  // namespace posix
