#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// Sends one media control command string and returns the platform's error code (0 = success).
using MciCommandSender = std::function<std::uint32_t(const std::wstring& command)>;

// The platform's sender: mciSendStringW with no return buffer and no callback window on Windows.
// Builds without a media control interface get a sender that reports every command as failed.
MciCommandSender PlatformMciSender();

// The media control interface's error code for a file that does not exist.
constexpr std::uint32_t MciFileNotFound = 275;

// One notification sound, played through media control command strings: the platform opens,
// decodes and plays the file in the background. The player holds no audio of its own and never
// waits for playback. It owns the alias it opened: the sound is closed once, by Close or when the
// player goes.
class SoundPlayer
{
public:
    using Clock = std::chrono::steady_clock;
    // A failed open is tried again at most this often: under Wine each try of a missing file
    // costs milliseconds, and the program tries at every packet.
    static constexpr auto RetryInterval = std::chrono::seconds(1);

    SoundPlayer();
    ~SoundPlayer();
    SoundPlayer(const SoundPlayer&) = delete;
    SoundPlayer& operator=(const SoundPlayer&) = delete;

    // Opens the file under the alias; called for every incoming packet. A sound that is open is
    // not opened again. A failed open is reported once per path (on standard error) and tried
    // again at most once per RetryInterval.
    void Load(const std::wstring& path, const std::wstring& aliasName);
    void SetVolume();
    // Sets the volume, then starts the sound from its beginning (again, if it is playing). A
    // sound that is not open is not played.
    void Play();
    // Ends the sound and frees its alias; nothing when it is not open.
    void Close();

    std::wstring command;
    std::wstring alias;
    std::uint32_t lastResult = 0;
    std::int32_t volumeLevel = 2;
    bool played = false;
    bool open = false;
    MciCommandSender sender = PlatformMciSender();
    std::function<Clock::time_point()> clock = Clock::now;

private:
    std::uint32_t Send();

    bool tried = false;
    Clock::time_point lastTry;
};
