#include "sound/SoundPlayer.h"

#include <iostream>
#include <set>

namespace
{

// Paths are ASCII in practice; anything else is shown as "?" in the report.
std::string Printable(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

// A missing sound file is looked for again at every packet; it is reported once per path for
// the whole run, not once per packet.
void ReportMissingFile(const std::wstring& path)
{
    static std::set<std::wstring> reported;
    if (reported.insert(path).second)
        std::cerr << "File " << Printable(path) << " not found." << std::endl;
}

} // namespace

SoundPlayer::SoundPlayer() = default;

SoundPlayer::~SoundPlayer()
{
    if (!played)
        Close();
}

void SoundPlayer::Load(const std::wstring& path, const std::wstring& aliasName)
{
    command = L"open " + path + L" type mpegvideo alias " + aliasName;
    lastResult = Send();
    if (lastResult == MciFileNotFound)
    {
        ReportMissingFile(path);
        return;
    }
    alias = aliasName;
}

void SoundPlayer::SetVolume()
{
    command = L"setaudio " + alias + L" volume to " + std::to_wstring(volumeLevel * 100);
    lastResult = Send();
}

void SoundPlayer::Play()
{
    SetVolume();
    command = L"play " + alias + L" from 0";
    lastResult = Send();
    played = true;
}

void SoundPlayer::Close()
{
    command = L"close " + alias;
    Send();
}

std::uint32_t SoundPlayer::Send()
{
    return sender(command);
}
