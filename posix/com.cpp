// COM apartments, per thread as on Windows. Weak, so that an audio engine linked into the program can
// stand in front of them, as a test build on Windows stands in front of ole32.
#include "posix/com.h"

namespace {

struct Apartment {
    int joins = 0;
    DWORD model = COINIT_MULTITHREADED;
};
thread_local Apartment t_apartment;

}  // namespace

HRESULT posix::joinApartment(LPVOID, DWORD coInit) {
    const DWORD model = coInit & COINIT_APARTMENTTHREADED;
    if (t_apartment.joins > 0 && t_apartment.model != model) return RPC_E_CHANGED_MODE;
    t_apartment.model = model;
    return t_apartment.joins++ == 0 ? S_OK : S_FALSE;
}

void posix::leaveApartment() {
    if (t_apartment.joins > 0) --t_apartment.joins;
}

__attribute__((weak)) HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    return posix::joinApartment(reserved, coInit);
}

__attribute__((weak)) void CoUninitialize() { posix::leaveApartment(); }
