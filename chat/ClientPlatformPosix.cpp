#include "chat/ClientPlatform.h"

#include "common/ChatProtocol.h"

#include <unistd.h>

#include <chrono>

std::tm LocalTimeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    return local;
}

unsigned NicknameSeedNow()
{
    const auto ticks = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return ChatProtocol::NicknameSeed(static_cast<std::uint64_t>(std::time(nullptr)),
                                      static_cast<std::uint32_t>(getpid()),
                                      static_cast<std::uint32_t>(ticks.count()));
}
