// Defines, once, the interface identifiers that the Windows SDK headers only declare.
#include <initguid.h>

#include "winaudio/windows_audio.h"
