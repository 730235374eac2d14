// The few threading primitives the simulated engine needs. MinGW-w64's default (win32) thread model has
// no std::thread or std::mutex, and the -posix one drags winpthread into every executable, so Windows
// gets the system's own primitives here and other hosts the standard library's.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#ifdef _WIN32
#include "winaudio/windows_audio.h"
#else
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace simaudio {

using SteadyClock = std::chrono::steady_clock;

#ifdef _WIN32

class Mutex {
  public:
    void lock() { AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ReleaseSRWLockExclusive(&m_lock); }
    SRWLOCK* native() { return &m_lock; }

  private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class CondVar {
  public:
    void notifyAll() { WakeAllConditionVariable(&m_cv); }
    template <class Lock, class Predicate>
    void wait(Lock& lock, Predicate done) {
        while (!done()) SleepConditionVariableSRW(&m_cv, lock.mutex()->native(), INFINITE, 0);
    }
    // Returns done() once it holds or the deadline passed.
    template <class Lock, class Predicate>
    bool waitUntil(Lock& lock, SteadyClock::time_point deadline, Predicate done) {
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) return done();
            SleepConditionVariableSRW(&m_cv, lock.mutex()->native(), static_cast<DWORD>(left.count()) + 1, 0);
        }
        return true;
    }

  private:
    CONDITION_VARIABLE m_cv = CONDITION_VARIABLE_INIT;
};

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
    ~Thread() { detach(); }
    bool joinable() const { return m_handle != nullptr; }
    void join() {
        WaitForSingleObject(m_handle, INFINITE);
        detach();
    }
    void detach() {
        if (m_handle != nullptr) CloseHandle(m_handle);
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

#else

using Mutex = std::mutex;

class CondVar {
  public:
    void notifyAll() { m_cv.notify_all(); }
    template <class Lock, class Predicate>
    void wait(Lock& lock, Predicate done) {
        m_cv.wait(lock, done);
    }
    template <class Lock, class Predicate>
    bool waitUntil(Lock& lock, SteadyClock::time_point deadline, Predicate done) {
        return m_cv.wait_until(lock, deadline, done);
    }

  private:
    std::condition_variable m_cv;
};

// Detaches rather than terminates when destroyed while running, as the Windows one does.
class Thread {
  public:
    Thread() = default;
    explicit Thread(std::function<void()> body) : m_thread(std::move(body)) {}
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&& other) noexcept {
        std::swap(m_thread, other.m_thread);
        return *this;
    }
    ~Thread() { detach(); }
    bool joinable() const { return m_thread.joinable(); }
    void join() { m_thread.join(); }
    void detach() {
        if (m_thread.joinable()) m_thread.detach();
    }

  private:
    std::thread m_thread;
};

inline void sleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

inline std::uint64_t currentThreadId() {
    return static_cast<std::uint64_t>(std::hash<std::thread::id>()(std::this_thread::get_id()));
}

#endif

}  // namespace simaudio
