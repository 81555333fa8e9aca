#include "server/ServerPlatform.h"

void AllowQuickRestart(SOCKET listener)
{
#ifdef _WIN32
    // Windows lets a listener bind over lingering connections anyway; its SO_REUSEADDR would
    // instead let another program take the port over.
    (void)listener;
#else
    const int reuse = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
#endif
}
