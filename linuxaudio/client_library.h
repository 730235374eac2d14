// A server's client library opened when its engine is first asked for, not linked: on a machine without
// it that engine is absent and the other is tried, where a linked library would have the loader refuse the
// whole program (exit 127, no stage line).
#pragma once

#include <dlfcn.h>

#include <cstring>

namespace linuxaudio {

// Opens the library `soname` and hands `forEachFunction` a loader, which it calls with each function's name
// and the function pointer to fill; false, with the library closed again, where the library or any of
// the functions is missing.
template <typename Functions>
bool loadClientLibrary(const char* soname, Functions forEachFunction) {
    void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    bool complete = true;
    forEachFunction([&](const char* name, auto& function) {
        void* address = dlsym(library, name);
        // A data pointer into a function pointer: memcpy, which the language allows.
        std::memcpy(&function, &address, sizeof function);
        complete = complete && address != nullptr;
    });
    if (!complete) dlclose(library);
    return complete;
}

// The one table of `Table` (a struct of function pointers), filled by `fill(table, load)` on the first
// call; nullptr from then on where the library or a function was missing.
template <typename Table, typename Fill>
const Table* openClientLibrary(const char* soname, Fill fill) {
    static Table table;
    static const bool loaded = loadClientLibrary(soname, [&](auto load) { fill(table, load); });
    return loaded ? &table : nullptr;
}

}  // namespace linuxaudio
