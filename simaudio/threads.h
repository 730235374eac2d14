// The few threading primitives the simulated engine needs, the same on every platform: the standard
// library's locks (on MinGW-w64's win32 thread model, the shim's) and the platform's threads, as that
// model has no std::thread either.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "winaudio/win32_std_mutex.h"
#include "winaudio/windows_audio.h"

namespace simaudio {

using SteadyClock = std::chrono::steady_clock;

// Detaches rather than terminates when destroyed while running.
class Thread {
  public:
    Thread() = default;
    explicit Thread(std::function<void()> body) {
        auto* task = new std::function<void()>(std::move(body));
        m_handle = CreateThread(nullptr, 0, run, task, 0, nullptr);
        if (m_handle == nullptr) delete task;
    }
    Thread(Thread&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
    Thread& operator=(Thread&& other) noexcept {
        std::swap(m_handle, other.m_handle);
        return *this;
    }
    ~Thread() {
        if (m_handle != nullptr) CloseHandle(m_handle);
    }
    bool joinable() const { return m_handle != nullptr; }
    void join() {
        WaitForSingleObject(m_handle, INFINITE);
        CloseHandle(m_handle);
        m_handle = nullptr;
    }

  private:
    static DWORD WINAPI run(LPVOID parameter) {
        std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(parameter));
        (*task)();
        return 0;
    }
    HANDLE m_handle = nullptr;
};

inline void sleepFor(std::chrono::milliseconds duration) { ::Sleep(static_cast<DWORD>(duration.count())); }

inline std::uint64_t currentThreadId() { return GetCurrentThreadId(); }

}  // namespace simaudio
