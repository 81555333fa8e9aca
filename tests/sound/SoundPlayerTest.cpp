#include "sound/SoundPlayer.h"
#include "support/StreamCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

using testing_support::StreamCapture;

namespace
{

// Records every command and answers with results chosen per command text (0 by default).
struct CommandLog
{
    std::vector<std::wstring> commands;
    std::map<std::wstring, std::uint32_t> results;

    MciCommandSender Sender()
    {
        return [this](const std::wstring& command) {
            commands.push_back(command);
            const auto found = results.find(command);
            return found == results.end() ? 0u : found->second;
        };
    }
};

constexpr std::uint32_t AliasInUse = 289;

const std::wstring OpenMessage = L"open src/snd_newmessage.mp3 type mpegvideo alias newmessage";

void WriteFileForTest(const char* name)
{
    std::ofstream(name) << "not really a sound";
}

TEST(SoundPlayer, NewPlayerIsEmpty)
{
    CommandLog log;
    auto player = std::make_unique<SoundPlayer>();
    player->sender = log.Sender();
    EXPECT_EQ(player->command, L"");
    EXPECT_EQ(player->alias, L"");
    EXPECT_EQ(player->lastResult, 0u);
    EXPECT_EQ(player->volumeLevel, 2);
    EXPECT_FALSE(player->played);
}

TEST(SoundPlayer, PlayOpensOnceAndSetsTheVolumeBeforeEveryPlay)
{
    CommandLog log;
    {
        SoundPlayer player;
        player.sender = log.Sender();
        player.Load(L"src/snd_newmessage.mp3", L"newmessage");
        EXPECT_EQ(player.alias, L"newmessage");
        EXPECT_TRUE(player.open);
        // Every later Load, one per packet, finds the sound open and sends nothing.
        player.Load(L"src/snd_newmessage.mp3", L"newmessage");
        player.Play();
        player.Play();
        EXPECT_TRUE(player.played);
        EXPECT_EQ(player.command, L"play newmessage from 0");
    }
    const std::vector<std::wstring> expected = {
        OpenMessage,
        L"setaudio newmessage volume to 200",
        L"play newmessage from 0",
        L"setaudio newmessage volume to 200",
        L"play newmessage from 0",
        L"close newmessage",
    };
    EXPECT_EQ(log.commands, expected) << "the sound it opened is closed when the player goes";
}

TEST(SoundPlayer, FailedOpenIsReportedOncePerPathAndTriedAgainAtMostOnceASecond)
{
    CommandLog log;
    // Wine answers a missing file with 277, Windows with 275: both are a missing file.
    const std::wstring openMissing = L"open src/missing-once.mp3 type mpegvideo alias gone";
    log.results[openMissing] = 277;
    // A file that is there but cannot be opened is reported with the platform's code.
    WriteFileForTest("present-but-bad.mp3");
    const std::wstring openBad = L"open present-but-bad.mp3 type mpegvideo alias bad";
    log.results[openBad] = 263;
    auto now = SoundPlayer::Clock::now();
    StreamCapture capture;
    {
        SoundPlayer first;
        first.sender = log.Sender();
        first.clock = [&] { return now; };
        for (int packet = 0; packet < 100; ++packet)
        {
            first.Load(L"src/missing-once.mp3", L"gone");
            now += std::chrono::milliseconds(25); // a burst of 100 packets in 2.5 s
        }
        EXPECT_FALSE(first.open);
        EXPECT_EQ(first.alias, L"");
        first.Play();

        SoundPlayer second;
        second.sender = log.Sender();
        second.clock = [&] { return now; };
        second.Load(L"src/missing-once.mp3", L"gone");
        // The file appears: the next try opens it.
        log.results[openMissing] = 0;
        now += SoundPlayer::RetryInterval;
        second.Load(L"src/missing-once.mp3", L"gone");
        EXPECT_TRUE(second.open);
        EXPECT_EQ(second.alias, L"gone");

        SoundPlayer bad;
        bad.sender = log.Sender();
        bad.Load(L"present-but-bad.mp3", L"bad");
    }
    EXPECT_EQ(std::count(log.commands.begin(), log.commands.end(), openMissing), 3 + 2)
        << "three tries in 2.5 s, then two by the second player";
    EXPECT_EQ(std::count(log.commands.begin(), log.commands.end(), L"setaudio  volume to 200"), 0)
        << "a sound that is not open is not played";
    EXPECT_EQ(capture.Err(),
              "File src/missing-once.mp3 not found.\n"
              "Sound present-but-bad.mp3 could not be opened: media control error 263.\n");
    EXPECT_EQ(capture.Out(), "");
}

TEST(SoundPlayer, CloseKeepsTheLastResultAndTheAlias)
{
    CommandLog log;
    log.results[L"close newuser"] = 263;
    SoundPlayer player;
    player.sender = log.Sender();
    player.Load(L"src/snd_newuser.mp3", L"newuser");
    player.Play();
    player.Close();
    EXPECT_EQ(player.command, L"close newuser");
    EXPECT_EQ(player.lastResult, 0u);
    EXPECT_EQ(player.alias, L"newuser");
    EXPECT_TRUE(player.played);
}

TEST(SoundPlayer, AnOpenSoundIsClosedOnceWhetherByCloseOrWhenThePlayerGoes)
{
    CommandLog log;
    {
        SoundPlayer closed;
        closed.sender = log.Sender();
        closed.Load(L"src/snd_newuser.mp3", L"newuser");
        closed.Close();
        closed.Close();

        SoundPlayer neverOpened;
        neverOpened.sender = log.Sender();
        neverOpened.Close();
    }
    EXPECT_EQ(log.commands,
              (std::vector<std::wstring>{L"open src/snd_newuser.mp3 type mpegvideo alias newuser",
                                         L"close newuser"}));
}

TEST(SoundPlayer, VolumeIsTheLevelTimesAHundred)
{
    CommandLog log;
    SoundPlayer player;
    player.sender = log.Sender();
    player.Load(L"a.mp3", L"x");
    player.volumeLevel = 7;
    player.SetVolume();
    EXPECT_EQ(player.command, L"setaudio x volume to 700");
}

} // namespace
