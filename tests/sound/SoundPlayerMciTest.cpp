// The player against the real media control interface, with the program's own sound files in
// src/ of the working directory, as the program finds them.

#include "sound/SoundPlayer.h"

#include <gtest/gtest.h>

namespace
{

TEST(SoundPlayerMci, OpensPlaysAndClosesTheProgramsSounds)
{
    SoundPlayer message;
    SoundPlayer user;
    message.Load(L"src/snd_newmessage.mp3", L"newmessage");
    ASSERT_EQ(message.lastResult, 0u) << "the sound device may be missing";
    user.Load(L"src/snd_newuser.mp3", L"newuser");
    ASSERT_EQ(user.lastResult, 0u);

    // The sound stays open: a second Load (the next packet's) leaves it as it is.
    message.Load(L"src/snd_newmessage.mp3", L"newmessage");
    EXPECT_EQ(message.lastResult, 0u);
    EXPECT_EQ(message.alias, L"newmessage");

    // Both sounds play at once, and a second Play restarts the first.
    message.Play();
    EXPECT_EQ(message.lastResult, 0u);
    user.Play();
    EXPECT_EQ(user.lastResult, 0u);
    message.Play();
    EXPECT_EQ(message.lastResult, 0u);

    EXPECT_EQ(message.sender(L"close newmessage"), 0u);
    EXPECT_EQ(user.sender(L"close newuser"), 0u);
    // Closed aliases refuse further commands.
    EXPECT_NE(message.sender(L"play newmessage from 0"), 0u);
}

TEST(SoundPlayerMci, MissingFileLeavesThePlayerSilent)
{
    SoundPlayer player;
    player.Load(L"src/no-such-sound.mp3", L"nosound");
    EXPECT_NE(player.lastResult, 0u);
    player.Play();
    EXPECT_NE(player.lastResult, 0u);
}

} // namespace
