// GoogleTest's Notification uses std::mutex and std::condition_variable, which MinGW-w64's win32 thread
// model lacks. These minimal ones over SRW locks are all it needs. Forced into GoogleTest's and the
// tests' translation units only; the program never sees them.
#pragma once

#include <bits/c++config.h>

#if defined(__MINGW32__) && !defined(_GLIBCXX_HAS_GTHREADS)
#include <mutex>
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

  private:
    CONDITION_VARIABLE m_cv = CONDITION_VARIABLE_INIT;
};

}  // namespace std
#endif
