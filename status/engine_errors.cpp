#include "status/engine_errors.h"

#include <mutex>

namespace status {

namespace {

std::mutex g_sinkMutex;
EngineErrorSink g_sink = nullptr;
void* g_context = nullptr;

}  // namespace

void setEngineErrorSink(EngineErrorSink sink, void* context) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink = sink;
    g_context = context;
}

void reportEngineError(const char* call, int error, const char* text) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (g_sink != nullptr) g_sink(g_context, call, error, text);
}

}  // namespace status
