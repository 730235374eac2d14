// The console stand-in's view of the process that started this one.
#pragma once

namespace posix {

// Notes the parent process. Called first thing by the entry, so that a parent that dies while the program
// sets up, before its console handler is registered, is still noticed then.
void noteStartingParent();

}  // namespace posix
