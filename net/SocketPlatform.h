#pragma once

// The networking library is written against the Winsock API. On Windows this is the real one;
// elsewhere PosixSockets.h offers the same names over POSIX sockets. This is the only place
// where the two differ.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include "net/PosixSockets.h"
#endif
