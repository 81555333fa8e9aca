// Builds without a media control interface: every command fails as on a machine without a
// sound device, and the program goes on silently.

#include "sound/SoundPlayer.h"

namespace
{
// MCIERR_DEVICE_NOT_INSTALLED
constexpr std::uint32_t NoDevice = 306;
} // namespace

MciCommandSender PlatformMciSender()
{
    return [](const std::wstring&) { return NoDevice; };
}
