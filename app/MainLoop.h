#pragma once

#include <windows.h>

class MainWindow;
class MyClient;

// The main loop's turn and the hand-offs that carry work between the main window and the chat
// client, in both directions. The two never call each other: each raises a flag or fills a text
// or a queue, and the loop carries the work across once per turn. This is the one place that
// knows both.

// One turn: at most one window message (never waiting for one, taken and dispatched as Unicode),
// the hand-offs to the chat client, one network frame, then the hand-offs to the window. A turn
// that takes WM_QUIT ends there. The caller loops while the client is running and message is not
// WM_QUIT.
void RunTurn(MSG& message, MainWindow& window, MyClient& client);

// A changed nickname goes to the chat client and is announced with one Nickname packet, however
// many changes came since the last turn.
void AnnounceNickname(MainWindow& window, MyClient& client);
// The message the user sent goes to the chat client, and the box is emptied for the next one;
// while the client cannot send (not yet let in by the server, or away), the text stays in the
// box, and nothing is sent until the user presses Send again.
void HandOverMessage(MainWindow& window, MyClient& client);
// A users-online text the chat client received is shown as the whole users list.
void ShowUsersOnline(MainWindow& window, MyClient& client);
// The lines the chat client has for the chat log go there, oldest first; once a burst is over,
// the log is painted.
void ShowChatLogLines(MainWindow& window, MyClient& client);
// At the orderly end: the new-message sound, then the new-user sound.
void CloseSounds(MyClient& client);
