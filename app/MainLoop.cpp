#include "app/MainLoop.h"

#include "common/ChatProtocol.h"
#include "chat/MyClient.h"
#include "ui/MainWindow.h"

#include <iostream>

void RunTurn(MSG& message, MainWindow& window, MyClient& client)
{
    // Messages are taken and dispatched as Unicode alike: the edit boxes are Unicode windows
    // (subclassed with the W functions), and a character taken with the ANSI call would reach
    // them as its code-page byte read as a UTF-16 unit. Their text is read back in the ANSI code
    // page, so the bytes sent are what the user typed.
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    AnnounceNickname(window, client);
    ShowUsersOnline(window, client);
    client.Frame(window);
}

void AnnounceNickname(MainWindow& window, MyClient& client)
{
    if (!window.nicknameChanged)
        return;
    client.nickname = window.nickname;
    try
    {
        client.connection.outgoing.Append(
            ChatProtocol::MakeTextPacket(oNet::PacketType::Nickname, client.nickname));
    }
    catch (const oNet::PacketException& e)
    {
        // Nicknames are kept short enough for a chat line; this is only a last guard.
        std::cerr << "Nickname not announced: it is too long for one packet. " << e.Message()
                  << std::endl;
    }
    window.nicknameDialog.text = window.nickname;
    window.nicknameChanged = false;
}

void ShowUsersOnline(MainWindow& window, MyClient& client)
{
    if (!client.usersOnlineChanged)
        return;
    SetWindowTextA(window.usersList, client.usersOnlineText.c_str());
    client.usersOnlineChanged = false;
}

void CloseSounds(MyClient& client)
{
    client.newMessageSound.Close();
    client.newUserSound.Close();
}
