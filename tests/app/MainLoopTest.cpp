// The main loop's turn and its hand-offs between a real main window and the chat client.

#include "app/MainLoop.h"
#include "app/ProgramSettings.h"
#include "chat/MyClient.h"
#include "support/Bytes.h"
#include "support/Files.h"
#include "support/LoopbackPeer.h"
#include "support/WindowTesting.h"
#include "ui/MainWindow.h"

#include <gtest/gtest.h>

using namespace testing_support;
using oNet::Packet;
using oNet::PacketType;

namespace
{

std::shared_ptr<Packet> TextPacket(PacketType type, const std::string& text)
{
    auto packet = std::make_shared<Packet>(type);
    *packet << text;
    return packet;
}

std::string TextOfPacket(const Bytes& packet)
{
    if (packet.size() < 6)
        return "<no text>";
    return std::string(packet.begin() + 6, packet.end());
}

class MainLoopTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (SoundPlayer* player : {&client.newMessageSound, &client.newUserSound})
            player->sender = [this](const std::wstring& command) {
                sounds.push_back(command);
                return 0u;
            };
    }
    void TearDown() override
    {
        if (client.IsConnected())
            client.Disconnect("test over");
        if (window.hwnd)
            DestroyWindow(window.hwnd);
        PumpMessages(10);
    }

    void CreateWindowWith(const std::string& settings)
    {
        WriteBytes("data.dat", OnDisk(settings));
        ASSERT_NE(window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650),
                  nullptr);
        PumpMessages(20);
    }

    void Connect()
    {
        ASSERT_TRUE(client.Connect(oNet::Endpoint("127.0.0.1", peer.Port())));
        ASSERT_TRUE(peer.Accept());
    }

    // The server lets the client in: its users list, taken in the next turns.
    void LetIn(MSG& message)
    {
        peer.Send(FrameOf(*TextPacket(PacketType::UsersOnline, "Alice")));
        for (int turn = 0; turn < 1000 && !client.CanSend(); ++turn)
            RunTurn(message, window, client);
        ASSERT_TRUE(client.CanSend());
    }

    std::vector<std::string> QueuedNicknames()
    {
        std::vector<std::string> names;
        for (const auto& packet : client.connection.outgoing.packets)
        {
            EXPECT_EQ(packet->Type(), PacketType::Nickname);
            packet->readOffset = 2;
            std::string name;
            *packet >> name;
            names.push_back(name);
        }
        return names;
    }

    // Declared first, so that it outlives the sound players that record into it.
    std::vector<std::wstring> sounds;
    MainWindow window{programNicknames};
    MyClient client;
    LoopbackPeer peer;
};

TEST_F(MainLoopTest, FirstRunNicknameAndTheWindowsOwnApplicationMakeOneAnnouncement)
{
    Connect();
    WriteBytes("data.dat", "");
    window.ApplyNickname("User#12345"); // start-up, before the window exists
    EXPECT_TRUE(window.nicknameChanged);
    EXPECT_EQ(ReadBytes("data.dat"), OnDisk("nickname=User#12345\n"));

    ASSERT_NE(window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650),
              nullptr);
    EXPECT_EQ(TextOf(window.nicknameLabel), "User#12345: ");

    AnnounceNickname(window, client);
    AnnounceNickname(window, client);
    EXPECT_EQ(QueuedNicknames(), std::vector<std::string>{"User#12345"});
    EXPECT_EQ(client.nickname, "User#12345");
    EXPECT_EQ(window.nicknameDialog.text, "User#12345");
    EXPECT_FALSE(window.nicknameChanged);
}

TEST_F(MainLoopTest, SeveralChangesBetweenTurnsAnnounceOnlyTheLast)
{
    Connect();
    CreateWindowWith("nickname=Alice\n");
    AnnounceNickname(window, client);
    client.connection.outgoing.packets.clear();

    window.ApplyNickname("Bea");
    window.ApplyNickname("Cid");
    window.ApplyNickname("Dot");
    AnnounceNickname(window, client);
    EXPECT_EQ(QueuedNicknames(), std::vector<std::string>{"Dot"});
    EXPECT_EQ(client.nickname, "Dot");
}

TEST_F(MainLoopTest, UsersOnlineTextReplacesTheWholeList)
{
    CreateWindowWith("nickname=Alice\n");
    client.usersOnlineText = "Alice\r\nBob";
    client.usersOnlineChanged = true;
    ShowUsersOnline(window, client);
    EXPECT_EQ(TextOf(window.usersList), "Alice\r\nBob");
    EXPECT_FALSE(client.usersOnlineChanged);

    client.usersOnlineText = "";
    ShowUsersOnline(window, client);
    EXPECT_EQ(TextOf(window.usersList), "Alice\r\nBob") << "nothing changed, nothing shown";
    client.usersOnlineChanged = true;
    ShowUsersOnline(window, client);
    EXPECT_EQ(TextOf(window.usersList), "");
}

TEST_F(MainLoopTest, TwoUsersListsInOneFrameShowOnlyTheSecondInTheNextTurn)
{
    CreateWindowWith("nickname=Alice\n");
    Connect();
    PumpMessages(10);
    client.connection.incoming.Append(TextPacket(PacketType::UsersOnline, "first"));
    client.connection.incoming.Append(TextPacket(PacketType::UsersOnline, "second"));
    MSG message = {};
    RunTurn(message, window, client);
    EXPECT_EQ(TextOf(window.usersList), "");
    RunTurn(message, window, client);
    EXPECT_EQ(TextOf(window.usersList), "second");
}

TEST_F(MainLoopTest, ConfirmedNicknameIsAnnouncedInTheTurnThatDispatchedIt)
{
    CreateWindowWith("nickname=Alice\n");
    Connect();
    MSG message = {};
    RunTurn(message, window, client); // announces the stored nickname
    EXPECT_EQ(TextOfPacket(peer.ReceivePacket()), "Alice");

    SendMessageW(window.hwnd, WM_COMMAND, 10, 0);
    ASSERT_NE(window.nicknameDialog.hwnd, nullptr);
    PumpMessages(20);
    SetWindowTextA(window.nicknameDialog.edit, "Zoe");
    PostMessageW(window.nicknameDialog.hwnd, WM_COMMAND, 0, 0);
    for (int turn = 0; turn < 100 && window.nickname != "Zoe"; ++turn)
        RunTurn(message, window, client);
    ASSERT_EQ(window.nickname, "Zoe");
    EXPECT_FALSE(window.nicknameChanged) << "announced in the same turn";
    EXPECT_EQ(client.nickname, "Zoe");
    for (int turn = 0; turn < 20; ++turn)
        RunTurn(message, window, client);
    const Bytes announced = peer.ReceivePacket();
    ASSERT_GE(announced.size(), 2u);
    EXPECT_EQ(announced[1], static_cast<unsigned char>(PacketType::Nickname));
    EXPECT_EQ(TextOfPacket(announced), "Zoe");
    EXPECT_TRUE(peer.ReceivePacket(300).empty()) << "one announcement only";

    SendMessageW(window.hwnd, WM_COMMAND, 10, 0);
    EXPECT_EQ(TextOf(window.nicknameDialog.edit), "Zoe");
}

TEST_F(MainLoopTest, TypedTextOutsideAsciiIsSentInTheAnsiCodePage)
{
    CreateWindowWith("nickname=Alice\n");
    Connect();
    MSG message = {};
    RunTurn(message, window, client);
    EXPECT_EQ(TextOfPacket(peer.ReceivePacket()), "Alice");

    // "a", "e" with an acute accent, the euro sign, "b", then Enter, as the keyboard sends them.
    // Before the server has let the client in, Send sends nothing and the text stays in the box;
    // Send again once it is in, and it goes.
    for (wchar_t c : {L'a', L'\u00E9', L'\u20AC', L'b'})
        PostMessageW(window.messageEdit, WM_CHAR, c, 1);
    PostMessageW(window.messageEdit, WM_KEYDOWN, VK_RETURN, 1);
    for (int turn = 0; turn < 50; ++turn)
        RunTurn(message, window, client);
    EXPECT_TRUE(peer.ReceivePacket(200).empty());
    EXPECT_EQ(TextOf(window.messageEdit), "a\xE9\x80"
                                          "b");
    EXPECT_FALSE(window.messagePending);
    LetIn(message);
    // The box is locked for a moment after each Send.
    ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(window.messageEdit) != FALSE; }));
    PostMessageW(window.messageEdit, WM_KEYDOWN, VK_RETURN, 1);
    for (int turn = 0; turn < 50; ++turn)
        RunTurn(message, window, client);
    EXPECT_EQ(TextOf(window.messageEdit), "");
    const std::string line = TextOfPacket(peer.ReceivePacket());
    // In code page 1252, the system's ANSI code page here, they are the bytes E9 and 80.
    ASSERT_EQ(GetACP(), 1252u);
    EXPECT_EQ(line.substr(line.find("]: ") + 3), "a\xE9\x80"
                                                 "b")
        << line;
}

// What the chat client received reaches the window in the turn of the frame that received it:
// the message typed in the same turn is taken over first.
TEST_F(MainLoopTest, TypedMessageIsTakenBeforeReceivedLinesAreShown)
{
    CreateWindowWith("nickname=Bob\n");
    Connect();
    client.localTime = [] {
        std::tm time = {};
        time.tm_hour = 9;
        time.tm_min = 5;
        time.tm_sec = 3;
        return time;
    };
    MSG message = {};
    RunTurn(message, window, client);
    EXPECT_EQ(TextOfPacket(peer.ReceivePacket()), "Bob");
    LetIn(message);

    SetWindowTextA(window.messageEdit, "hi");
    window.pendingMessage = "hi";
    window.messagePending = true;
    client.connection.incoming.Append(
        TextPacket(PacketType::ChatMessage, "[09:05:00] [Alice]: yo"));
    bool takenBeforeHandling = false;
    sounds.clear();
    client.newMessageSound.sender = [&](const std::wstring& command) {
        if (sounds.empty())
            takenBeforeHandling = !window.messagePending && window.pendingMessage.empty() &&
                                  TextOf(window.messageEdit).empty();
        sounds.push_back(command);
        return 0u;
    };
    RunTurn(message, window, client);
    EXPECT_TRUE(takenBeforeHandling);
    EXPECT_TRUE(client.chatLogLines.empty()) << "the line went to the chat log";
    EXPECT_NE(TextOf(window.chatLog).find("[09:05:00] [Alice]: yo"), std::string::npos);
    EXPECT_EQ(window.chatLength, 23);
    EXPECT_EQ(TextOfPacket(peer.ReceivePacket()), "[09:05:03] [Bob]: hi");
}

// A turn takes one message, and one that takes WM_QUIT does nothing more: no hand-off, no frame.
TEST_F(MainLoopTest, EachTurnTakesAtMostOneMessageAndEndsAtQuit)
{
    CreateWindowWith("nickname=Alice\n");
    Connect();
    PumpMessages(20);
    for (int i = 0; i < 3; ++i)
        PostThreadMessageW(GetCurrentThreadId(), WM_APP + i, 0, 0);
    MSG message = {};
    RunTurn(message, window, client);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_APP));
    int left = 0;
    MSG rest;
    while (PeekMessageW(&rest, nullptr, WM_APP, WM_APP + 2, PM_REMOVE))
        ++left;
    EXPECT_EQ(left, 2);

    window.ApplyNickname("Bea");
    client.connection.incoming.Append(TextPacket(PacketType::UsersOnline, "Alice"));
    PostQuitMessage(0);
    RunTurn(message, window, client);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_TRUE(window.nicknameChanged) << "no hand-off";
    EXPECT_TRUE(client.connection.incoming.HasPending()) << "no frame";
}

TEST_F(MainLoopTest, SoundsCloseNewMessageFirst)
{
    client.newMessageSound.Load(L"src/snd_newmessage.mp3", L"newmessage");
    client.newUserSound.Load(L"src/snd_newuser.mp3", L"newuser");
    sounds.clear();
    CloseSounds(client);
    EXPECT_EQ(sounds, (std::vector<std::wstring>{L"close newmessage", L"close newuser"}));
}

} // namespace
