#pragma once

#include "net/SocketPlatform.h"

// Lets a restarted server listen on its port at once, although connections of its last run
// may linger in the system's wait state.
void AllowQuickRestart(SOCKET listener);
