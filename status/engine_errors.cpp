#include "status/engine_errors.h"

#include <atomic>

namespace status {

namespace {

// Set once, before any engine runs; the context before the sink, so whoever sees the sink sees its context.
std::atomic<void*> g_context{nullptr};
std::atomic<EngineErrorSink> g_sink{nullptr};

}  // namespace

void setEngineErrorSink(EngineErrorSink sink, void* context) {
    g_context.store(context);
    g_sink.store(sink, std::memory_order_release);
}

void reportEngineError(const char* call, int error, const char* text) {
    if (const EngineErrorSink sink = g_sink.load(std::memory_order_acquire))
        sink(g_context.load(), call, error, text);
}

}  // namespace status
