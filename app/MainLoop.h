#pragma once

#include <windows.h>

class MainWindow;
class MyClient;

// The main loop's turn and the hand-offs that carry work between the main window and the chat
// client. The two never call each other: each raises a flag and fills a text, and the loop
// carries the work across once per turn.

// One turn: at most one window message (never waiting for one, taken and dispatched as Unicode),
// the hand-offs, then one network frame. The caller loops while the client is connected and message
// is not WM_QUIT.
void RunTurn(MSG& message, MainWindow& window, MyClient& client);

// A changed nickname goes to the chat client and is announced with one Nickname packet, however
// many changes came since the last turn.
void AnnounceNickname(MainWindow& window, MyClient& client);
// A users-online text the chat client received is shown as the whole users list.
void ShowUsersOnline(MainWindow& window, MyClient& client);
// At the orderly end: the new-message sound, then the new-user sound.
void CloseSounds(MyClient& client);
