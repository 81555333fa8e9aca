#include "app/MainLoop.h"

#include "chat/MyClient.h"
#include "ui/MainWindow.h"

void RunTurn(MSG& message, MainWindow& window, MyClient& client)
{
    // Messages are taken and dispatched as Unicode alike: the edit boxes are Unicode windows
    // (subclassed with the W functions), and a character taken with the ANSI call would reach
    // them as its code-page byte read as a UTF-16 unit. Their text is read back in the ANSI code
    // page, so the bytes sent are what the user typed.
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
    {
        // The window is gone: nothing more may happen, not even a frame that could finish a
        // handshake and ask the user about the server's key with no window left.
        if (message.message == WM_QUIT)
            return;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    AnnounceNickname(window, client);
    HandOverMessage(window, client);
    ShowUsersOnline(window, client);
    client.Frame();
    ShowChatLogLines(window, client);
}

void AnnounceNickname(MainWindow& window, MyClient& client)
{
    if (!window.nicknameChanged)
        return;
    client.AnnounceNickname(window.nickname);
    window.nicknameDialog.text = window.nickname;
    window.nicknameChanged = false;
}

void HandOverMessage(MainWindow& window, MyClient& client)
{
    if (!window.messagePending)
        return;
    window.messagePending = false;
    // Until the server has let the client in (at start, and while the connection is being made
    // again), nothing is sent and the text stays in the box: nothing goes on its own, the user
    // presses Send again once the client is back.
    if (client.CanSend())
    {
        client.SendChatMessage(window.pendingMessage);
        SetWindowTextA(window.messageEdit, "");
    }
    window.pendingMessage.clear();
}

void ShowUsersOnline(MainWindow& window, MyClient& client)
{
    if (!client.usersOnlineChanged)
        return;
    SetWindowTextA(window.usersList, client.usersOnlineText.c_str());
    client.usersOnlineChanged = false;
}

void ShowChatLogLines(MainWindow& window, MyClient& client)
{
    for (; !client.chatLogLines.empty(); client.chatLogLines.pop_front())
        window.AppendChatLine(client.chatLogLines.front());
    // Nothing more to read: a burst of lines is over, and the chat log shows it.
    if (!client.moreToRead)
        window.RepaintChatLog();
}

void CloseSounds(MyClient& client)
{
    client.newMessageSound.Close();
    client.newUserSound.Close();
}
