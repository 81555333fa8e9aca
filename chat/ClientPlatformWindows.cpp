#include "chat/ClientPlatform.h"

#include "common/ChatProtocol.h"

#include <windows.h>

std::tm LocalTimeNow()
{
    const __time64_t now = _time64(nullptr);
    std::tm local = {};
    _localtime64_s(&local, &now);
    return local;
}

unsigned NicknameSeedNow()
{
    return ChatProtocol::NicknameSeed(static_cast<std::uint64_t>(_time64(nullptr)),
                                      GetCurrentProcessId(), GetTickCount());
}
