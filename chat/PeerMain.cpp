// ostrel-peer: a scripted chat participant for demonstrations and tests.
//
//   ostrel-peer [--server ADDRESS] [--port N] --name NAME [--wait-for TEXT] [--say TEXT]...
//               [--pause MS] [--stay MS]
//
// Connects, announces NAME, waits until a chat line contains TEXT (if given), says each line
// with a pause between them, stays connected a while, prints every chat line it received and
// leaves. Exits 1 when it cannot connect or the server closes the connection.

#include "chat/ScriptedPeer.h"
#include "net/SocketPlatform.h"

#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;

int main(int argc, char** argv)
{
    std::string server = "127.0.0.1", name, waitFor;
    int port = 6112, pauseMs = 700, stayMs = 1000;
    std::vector<std::string> says;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--server")
            server = value;
        else if (option == "--port")
            port = std::stoi(value);
        else if (option == "--name")
            name = value;
        else if (option == "--wait-for")
            waitFor = value;
        else if (option == "--say")
            says.push_back(value);
        else if (option == "--pause")
            pauseMs = std::stoi(value);
        else if (option == "--stay")
            stayMs = std::stoi(value);
        else
        {
            std::cerr << "ostrel-peer: unknown option " << option << std::endl;
            return 2;
        }
    }
    if (name.empty())
    {
        std::cerr << "ostrel-peer: --name is needed" << std::endl;
        return 2;
    }

    WSADATA socketLayer;
    WSAStartup(MAKEWORD(2, 2), &socketLayer);
    ScriptedPeer peer;
    if (!peer.Connect(oNet::Endpoint(server.c_str(), static_cast<std::uint16_t>(port))))
    {
        std::cerr << "ostrel-peer: cannot reach " << server << " port " << port << std::endl;
        return 1;
    }
    peer.Announce(name);
    bool ok = peer.RunUntil([&] { return peer.Saw(name + " joined."); }, seconds(10));
    if (ok && !waitFor.empty())
        ok = peer.RunUntil([&] { return peer.Saw(waitFor); }, seconds(60));
    for (const auto& text : says)
    {
        if (!ok)
            break;
        peer.Say(text);
        const auto until = steady_clock::now() + milliseconds(pauseMs);
        ok = peer.RunUntil([&] { return steady_clock::now() > until; },
                           milliseconds(pauseMs + 1000));
    }
    if (ok)
    {
        const auto until = steady_clock::now() + milliseconds(stayMs);
        ok =
            peer.RunUntil([&] { return steady_clock::now() > until; }, milliseconds(stayMs + 1000));
    }
    for (const auto& line : peer.lines)
        std::cout << line << std::endl;
    if (!ok)
    {
        std::cerr << "ostrel-peer: "
                  << (peer.IsConnected() ? "gave up waiting"
                                         : "connection lost: " + peer.disconnectReason)
                  << std::endl;
        return 1;
    }
    peer.Disconnect("done");
    WSACleanup();
    return 0;
}
