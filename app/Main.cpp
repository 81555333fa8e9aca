// The program's entry routine: start-up, the main loop that interleaves window messages with
// network frames, and shut-down.

#include "app/MainLoop.h"
#include "app/MessageBoxQuestions.h"
#include "app/ProgramSettings.h"
#include "app/ServerTrust.h"
#include "app/SettingsFile.h"
#include "chat/MyClient.h"
#include "common/NicknameRule.h"
#include "net/Endpoint.h"
#include "net/SocketPlatform.h"
#include "ui/MainWindow.h"

#include <windows.h>

#include <timeapi.h>

#include <iostream>
#include <string>

namespace
{

constexpr const char* DefaultServerAddress = "127.0.0.1";
constexpr std::uint16_t ServerPort = 6112;

void ShowError(const char* text)
{
    MessageBoxA(nullptr, text, "Error", MB_ICONERROR);
}

int SocketLayerFailed()
{
    ShowError("Unable to initialize network!");
    return 1;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    MainWindow window(programNicknames);
    MyClient client;

    SettingsFile settings("data.dat");
    // Spaces or a tab around the address (easily left when the file is written by hand) are not
    // part of it.
    const std::string serverAddress =
        settings.HasKey("server") ? oNet::Trim(settings.GetValue("server")) : DefaultServerAddress;

    WSADATA socketLayer = {};
    if (WSAStartup(MAKEWORD(2, 2), &socketLayer) != 0)
    {
        std::cerr << "Failed to load WinSock API." << std::endl;
        return SocketLayerFailed();
    }
    if (LOBYTE(socketLayer.wVersion) != 2 || HIBYTE(socketLayer.wVersion) != 2)
    {
        std::cerr << "Failed to load WinSock API. Version is not equal to 2-2." << std::endl;
        return SocketLayerFailed();
    }

    // With tls=on the connection is encrypted, and the server's key must be the one trusted.
    // With reconnect=on a lost connection is made again, and the window stays.
    std::string problem;
    if (!settings.GetSwitch("tls", client.useTls, problem) ||
        !settings.GetSwitch("reconnect", client.reconnect, problem))
    {
        std::cerr << problem << std::endl;
        ShowError(problem.c_str());
        WSACleanup();
        return 1;
    }
    MessageBoxQuestions questions;
    ServerTrust trust(settings, serverAddress, questions);
    client.trustServer = [&trust](const std::string& pin) { return trust(pin); };

    if (!client.Connect(oNet::Endpoint(serverAddress.c_str(), ServerPort)))
    {
        if (client.failure == oNet::ConnectFailure::NotSecure)
            ShowError(
                ("Unable to make a secure connection to the server.\n\n" + client.failureReason)
                    .c_str());
        else if (client.failure != oNet::ConnectFailure::NotTrusted)
            ShowError("Unable to reach server!");
        WSACleanup();
        return 1;
    }

    // A first run keeps the generated nickname. The window, once created, shows the stored one,
    // unless the server would refuse it: then the generated one takes its place.
    if (!settings.HasKey("nickname"))
    {
        window.ApplyNickname(client.nickname);
    }
    else
    {
        const std::string problem = NicknameRule::Problem(settings.GetValue("nickname"));
        if (!problem.empty())
        {
            std::cerr << "The stored nickname cannot be used: " << problem << " Using "
                      << client.nickname << " instead." << std::endl;
            window.ApplyNickname(client.nickname);
        }
    }

    if (!window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650))
    {
        // No message box: the window system itself may be what failed.
        const char* const reason = "Unable to create the main window.";
        std::cerr << reason << std::endl;
        client.Disconnect(reason);
        WSACleanup();
        return 1;
    }

    // The default timer tick (about 15.6 ms) would stretch each turn's 1 ms poll.
    timeBeginPeriod(1);

    // The loop never waits for messages, so the network is served while the user is idle. It
    // ends when the window has been closed, or when the connection has been lost for good.
    MSG message = {};
    while (client.Running() && message.message != WM_QUIT)
        RunTurn(message, window, client);

    client.Disconnect("Main window closed");
    CloseSounds(client);
    timeEndPeriod(1);
    WSACleanup();
    // A server whose key is refused on connecting again ends the program as it would at start.
    return client.failure == oNet::ConnectFailure::NotTrusted ? 1 : 0;
}
