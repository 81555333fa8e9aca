#include "sound/SoundPlayer.h"
#include "support/StreamCapture.h"

#include <gtest/gtest.h>

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
    log.results[OpenMessage] = 0;
    {
        SoundPlayer player;
        player.sender = log.Sender();
        player.Load(L"src/snd_newmessage.mp3", L"newmessage");
        EXPECT_EQ(player.alias, L"newmessage");
        EXPECT_EQ(player.lastResult, 0u);

        // Every later Load is refused by the platform: the sound stays open and playable.
        log.results[OpenMessage] = AliasInUse;
        player.Load(L"src/snd_newmessage.mp3", L"newmessage");
        EXPECT_EQ(player.lastResult, AliasInUse);
        EXPECT_EQ(player.alias, L"newmessage");

        player.Play();
        player.Play();
        EXPECT_TRUE(player.played);
        EXPECT_EQ(player.command, L"play newmessage from 0");
    }
    const std::vector<std::wstring> expected = {
        OpenMessage,
        OpenMessage,
        L"setaudio newmessage volume to 200",
        L"play newmessage from 0",
        L"setaudio newmessage volume to 200",
        L"play newmessage from 0",
    };
    EXPECT_EQ(log.commands, expected) << "a player that played sends no close when destroyed";
}

TEST(SoundPlayer, MissingFileKeepsTheAliasEmptyAndIsReportedOncePerPath)
{
    CommandLog log;
    const std::wstring openMissing = L"open src/missing-once.mp3 type mpegvideo alias gone";
    log.results[openMissing] = MciFileNotFound;
    StreamCapture capture;
    {
        SoundPlayer first;
        first.sender = log.Sender();
        first.Load(L"src/missing-once.mp3", L"gone");
        EXPECT_EQ(first.alias, L"");
        EXPECT_EQ(first.lastResult, MciFileNotFound);
        first.Load(L"src/missing-once.mp3", L"gone");

        SoundPlayer second;
        second.sender = log.Sender();
        second.Load(L"src/missing-once.mp3", L"gone");
        EXPECT_EQ(second.alias, L"");

        // The file appears: the next Load opens it.
        log.results[openMissing] = 0;
        second.Load(L"src/missing-once.mp3", L"gone");
        EXPECT_EQ(second.alias, L"gone");
        second.played = true;
    }
    EXPECT_EQ(capture.Err(), "File src/missing-once.mp3 not found.\n");
    EXPECT_EQ(capture.Out(), "");
}

TEST(SoundPlayer, OtherFailuresStillTakeTheAlias)
{
    CommandLog log;
    log.results[OpenMessage] = 263; // any failure other than a missing file
    SoundPlayer player;
    player.sender = log.Sender();
    player.Load(L"src/snd_newmessage.mp3", L"newmessage");
    EXPECT_EQ(player.alias, L"newmessage");
    EXPECT_EQ(player.lastResult, 263u);
    player.played = true;
}

TEST(SoundPlayer, PlayWithoutAnAliasSendsCommandsThePlatformRejects)
{
    CommandLog log;
    log.results[L"setaudio  volume to 200"] = 263;
    log.results[L"play  from 0"] = 263;
    SoundPlayer player;
    player.sender = log.Sender();
    player.Play();
    EXPECT_EQ(log.commands,
              (std::vector<std::wstring>{L"setaudio  volume to 200", L"play  from 0"}));
    EXPECT_EQ(player.lastResult, 263u);
    EXPECT_TRUE(player.played);
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

TEST(SoundPlayer, PlayerThatNeverPlayedClosesAgainWhenDestroyed)
{
    CommandLog log;
    {
        SoundPlayer player;
        player.sender = log.Sender();
        player.Load(L"src/snd_newuser.mp3", L"newuser");
        player.Close();
    }
    EXPECT_EQ(log.commands,
              (std::vector<std::wstring>{L"open src/snd_newuser.mp3 type mpegvideo alias newuser",
                                         L"close newuser", L"close newuser"}));
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
    player.played = true;
}

} // namespace
