// std::mutex and std::condition_variable wherever the code runs. MinGW-w64's win32 thread model has
// neither (and the -posix one drags winpthread into every executable), so there these minimal ones over
// SRW locks stand in: all that the simulated engine and GoogleTest's Notification need. GoogleTest's and
// the tests' translation units get it forced in; the shipped program never includes it.
#pragma once

#include <chrono>
#include <mutex>

#if defined(__MINGW32__) && !defined(_GLIBCXX_HAS_GTHREADS)
#include <windows.h>

namespace std {

class mutex {
  public:
    mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;
    void lock() { AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ReleaseSRWLockExclusive(&m_lock); }
    SRWLOCK* native_handle() { return &m_lock; }

  private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class condition_variable {
  public:
    void notify_all() { WakeAllConditionVariable(&m_cv); }
    void notify_one() { WakeConditionVariable(&m_cv); }
    template <class Predicate>
    void wait(unique_lock<mutex>& lock, Predicate done) {
        while (!done()) SleepConditionVariableSRW(&m_cv, lock.mutex()->native_handle(), INFINITE, 0);
    }
    template <class Clock, class Duration, class Predicate>
    bool wait_until(unique_lock<mutex>& lock, const chrono::time_point<Clock, Duration>& deadline,
                    Predicate done) {
        while (!done()) {
            const auto left = chrono::duration_cast<chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return done();
            SleepConditionVariableSRW(&m_cv, lock.mutex()->native_handle(),
                                      static_cast<DWORD>(left.count()) + 1, 0);
        }
        return true;
    }

  private:
    CONDITION_VARIABLE m_cv = CONDITION_VARIABLE_INIT;
};

}  // namespace std
#else
#include <condition_variable>
#endif
