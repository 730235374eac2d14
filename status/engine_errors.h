// Failures an engine meets that no call's status carries (a link the server refused, why a stream
// ended), passed on to the status channel when the parent asked for one.
#pragma once

namespace status {

// `error`: an errno value (positive), or 0 for none; `text`: what failed and why, plain text.
using EngineErrorSink = void (*)(void* context, const char* call, int error, const char* text);

// The one sink, set once before any engine runs (the status channel lives to the end of the process).
void setEngineErrorSink(EngineErrorSink sink, void* context);

// Any thread; nothing happens without a sink.
void reportEngineError(const char* call, int error, const char* text);

}  // namespace status
