// The media control interface of Windows.

#include "sound/SoundPlayer.h"

#include <windows.h>

#include <mmsystem.h>

MciCommandSender PlatformMciSender()
{
    return [](const std::wstring& command) {
        return static_cast<std::uint32_t>(mciSendStringW(command.c_str(), nullptr, 0, nullptr));
    };
}
