#include "simaudio/trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "simaudio/scenario.h"
#include "simaudio/threads.h"
#include "winaudio/windows_audio.h"

namespace simaudio {

namespace {

struct TraceLog {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::atomic<IUnknown*> handler{nullptr};
    bool registered = false;
};

TraceLog& log() {
    static TraceLog* instance = new TraceLog;  // never destroyed: written from atexit
    return *instance;
}

void writeAtExit() { flushTrace(); }

// A failure exit can come right after the completion callback signalled, while its thread still holds the
// engine's references; give it a moment so the counts are the program's alone.
void waitForCompletionThreads() {
    for (int i = 0; i < 2000 && liveObjects().completing.load() > 0; ++i)
        sleepFor(std::chrono::milliseconds(1));
}

}  // namespace

LiveObjects& liveObjects() {
    static LiveObjects* instance = new LiveObjects;
    return *instance;
}

void trace(const std::string& line) {
    if (currentScenario().tracePath.empty()) return;
    TraceLog& t = log();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (!t.registered) {
        t.registered = true;
        std::atexit(writeAtExit);
    }
    t.lines.push_back(line);
}

void rememberHandler(IUnknown* handler) { log().handler.store(handler); }

int handlerReferences() {
    IUnknown* handler = log().handler.load();
    if (handler == nullptr) return -1;
    waitForCompletionThreads();
    handler->AddRef();
    return static_cast<int>(handler->Release());
}

void flushTrace() {
    const std::string& path = currentScenario().tracePath;
    if (path.empty()) return;
    waitForCompletionThreads();
    TraceLog& t = log();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return;
    for (const std::string& line : t.lines) std::fprintf(file, "%s\n", line.c_str());
    LiveObjects& live = liveObjects();
    std::fprintf(file, "live operation=%d client=%d capture=%d com=%d\n", live.operations.load(),
                 live.clients.load(), live.captureClients.load(), live.comJoins.load());
    // The program keeps one handler reference for the life of the process; report what is left.
    if (IUnknown* handler = t.handler.load()) {
        handler->AddRef();
        std::fprintf(file, "handler refs=%u\n", static_cast<unsigned>(handler->Release()));
    }
    std::fclose(file);
}

}  // namespace simaudio
