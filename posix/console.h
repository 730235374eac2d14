// The console stand-in's view of the process that started this one.
#pragma once

namespace posix {

// Notes the parent process. Called first thing by the entry, so that a parent that dies while the program
// sets up, before its console handler is registered, is still noticed then.
void noteStartingParent();

// A descriptor that becomes readable, for good, once a Ctrl+C, Ctrl+Break or close event has been handled:
// the events that stop the program. A write that waits for its reader also waits on it, so a stop is not
// held up by a reader that has stopped reading.
int stopRequestDescriptor();

}  // namespace posix
