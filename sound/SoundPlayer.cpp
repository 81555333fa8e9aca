#include "sound/SoundPlayer.h"

#include <filesystem>
#include <iostream>
#include <set>
#include <system_error>

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

// A sound that cannot be opened is reported once per path for the whole run, not at every try.
// A missing file is named as such whatever code the platform gives for it (Windows 275, Wine
// 277); any other failure comes with its code.
void ReportFailedOpen(const std::wstring& path, std::uint32_t result)
{
    static std::set<std::wstring> reported;
    if (!reported.insert(path).second)
        return;
    std::error_code error;
    if (result == MciFileNotFound || !std::filesystem::exists(path, error))
        std::cerr << "File " << Printable(path) << " not found." << std::endl;
    else
        std::cerr << "Sound " << Printable(path) << " could not be opened: media control error "
                  << result << "." << std::endl;
}

} // namespace

SoundPlayer::SoundPlayer() = default;

SoundPlayer::~SoundPlayer()
{
    Close();
}

void SoundPlayer::Load(const std::wstring& path, const std::wstring& aliasName)
{
    if (open)
        return;
    const Clock::time_point now = clock();
    if (tried && now - lastTry < RetryInterval)
        return;
    tried = true;
    lastTry = now;
    command = L"open " + path + L" type mpegvideo alias " + aliasName;
    lastResult = Send();
    if (lastResult != 0)
    {
        ReportFailedOpen(path, lastResult);
        return;
    }
    open = true;
    alias = aliasName;
}

void SoundPlayer::SetVolume()
{
    command = L"setaudio " + alias + L" volume to " + std::to_wstring(volumeLevel * 100);
    lastResult = Send();
}

void SoundPlayer::Play()
{
    if (!open)
        return;
    SetVolume();
    command = L"play " + alias + L" from 0";
    lastResult = Send();
    played = true;
}

void SoundPlayer::Close()
{
    if (!open)
        return;
    command = L"close " + alias;
    Send();
    open = false;
}

std::uint32_t SoundPlayer::Send()
{
    return sender(command);
}
