// Kernel event semantics the program relies on. On Windows (under Wine) this checks the reference;
// natively it checks the stand-in against the same expectations.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "simaudio/threads.h"
#include "winaudio/windows_audio.h"

namespace {

using simaudio::Thread;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct Event {
    explicit Event(bool manualReset) : handle(CreateEventW(nullptr, manualReset, FALSE, nullptr)) {}
    ~Event() { CloseHandle(handle); }
    HANDLE handle;
};

// Polls until `done` or a generous deadline; waits on an observable condition, not a fixed time.
template <class Predicate>
bool eventually(Predicate done) {
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (steady_clock::now() > deadline) return false;
        simaudio::sleepFor(milliseconds(1));
    }
    return true;
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    Event event(true);
    EXPECT_EQ(WaitForSingleObject(event.handle, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.handle));
    EXPECT_EQ(WaitForSingleObject(event.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.handle, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event.handle));
    EXPECT_EQ(WaitForSingleObject(event.handle, 0), WAIT_TIMEOUT);
}

TEST(Event, AutoResetClearsOnTheWaitThatTakesIt) {
    Event event(false);
    ASSERT_TRUE(SetEvent(event.handle));
    EXPECT_EQ(WaitForSingleObject(event.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.handle, 0), WAIT_TIMEOUT);
}

TEST(Event, ManySetsBeforeOneWaitLeaveOneSignal) {
    Event event(false);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(SetEvent(event.handle));
    EXPECT_EQ(WaitForSingleObject(event.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.handle, 0), WAIT_TIMEOUT);
}

TEST(Event, TimedWaitTimesOut) {
    Event event(false);
    const auto start = steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.handle, 100), WAIT_TIMEOUT);
    // Windows may end a wait up to a tick early; the stand-in never does.
    EXPECT_GE(steady_clock::now() - start, milliseconds(80));
}

// A handle is one reference to the event: the object outlives a closed handle while a duplicate holds it,
// and a closed or unknown handle fails every call with ERROR_INVALID_HANDLE.
TEST(Event, HandlesAreReferencesAndAClosedOneFails) {
    HANDLE original = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(CloseHandle(original));
    ASSERT_TRUE(SetEvent(duplicate));
    EXPECT_EQ(WaitForSingleObject(duplicate, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(duplicate));

    const std::function<DWORD(HANDLE)> calls[] = {
        [](HANDLE h) { return static_cast<DWORD>(CloseHandle(h)); },
        [](HANDLE h) { return static_cast<DWORD>(SetEvent(h)); },
        [](HANDLE h) { return WaitForSingleObject(h, 1000) == WAIT_FAILED ? 0u : 1u; },
    };
    for (HANDLE stale : {original, duplicate, static_cast<HANDLE>(nullptr)}) {
        for (const auto& call : calls) {
            SetLastError(0);
            EXPECT_EQ(call(stale), 0u);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        }
    }
}

// Two threads wait; one SetEvent on an auto-reset event lets exactly one through, a manual-reset one all.
void checkWakeUps(bool manualReset, int expectedAfterOneSet) {
    Event event(manualReset);
    std::atomic<int> waiting{0};
    std::atomic<int> woken{0};
    auto waiter = [&] {
        ++waiting;
        if (WaitForSingleObject(event.handle, 20000) == WAIT_OBJECT_0) ++woken;
    };
    Thread first(waiter);
    Thread second(waiter);
    ASSERT_TRUE(eventually([&] { return waiting.load() == 2; }));
    simaudio::sleepFor(milliseconds(50));  // let both reach the wait proper
    ASSERT_TRUE(SetEvent(event.handle));
    ASSERT_TRUE(eventually([&] { return woken.load() >= 1; }));
    simaudio::sleepFor(milliseconds(200));  // a second, wrong wake-up would show within this
    EXPECT_EQ(woken.load(), expectedAfterOneSet);
    if (woken.load() < 2) SetEvent(event.handle);
    first.join();
    second.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(Event, AutoResetWakesOneWaiter) { checkWakeUps(false, 1); }

TEST(Event, ManualResetWakesEveryWaiter) { checkWakeUps(true, 2); }

}  // namespace
