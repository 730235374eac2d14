// Windows's render meters are not consulted yet: the platform cannot tell, and no silent capture is
// reported.
#include "winaudio/windows_audio.h"

int playingForCapture() { return -1; }
