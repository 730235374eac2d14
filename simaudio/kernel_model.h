// The kernel calls the program makes on the events it owns, seen by the simulated platform: which event
// is which, the waits and their time limits, the closes and who made them, the faults a scenario injects
// into them, and the console stop requests it raises at exact points.
#pragma once

#include <cstdint>

#include "simaudio/scenario.h"
#include "winaudio/windows_audio.h"

namespace simaudio {

// Stand in front of the platform's own calls, which each host binding passes in.
HANDLE simCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name,
                       HANDLE (*platform)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR));
DWORD simWaitForSingleObject(HANDLE handle, DWORD milliseconds, DWORD (*platform)(HANDLE, DWORD));
BOOL simCloseHandle(HANDLE handle, BOOL (*platform)(HANDLE));

// The thread that joined COM is the program's main thread; only its event calls are the program's.
void rememberProgramThread();

// Raises the scenario's stop request if `point` (and, for packet points, `packet`) is the one it names.
// Returns once the program's console handler has run.
void stopPoint(Scenario::StopPoint point, std::uint64_t packet = 0);
// True when the scenario's stop request comes just before packet `packet` is readied.
bool stopDueBefore(std::uint64_t packet);
// True while the program is inside a wait on its capture event.
bool programWaitsForCapture();

// Counts what the program's standard output took (all of a write that failed: that is gone too), and
// wakes the capture if the engine's next batch waits for it.
void simOutputWritten(HANDLE file, DWORD bytes);
// The bytes handed to standard output so far; false until the first.
bool programOutput(std::uint64_t& bytes);
// The next write to standard output wakes the capture.
void waitForOutput();

// Delivers a Ctrl+C console event to the program and returns once its handlers have run (host binding).
void raiseConsoleStop();

}  // namespace simaudio
