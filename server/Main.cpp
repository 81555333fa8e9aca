// ostrel-server: the chat server the Ostrel Chat client talks to.

#include "net/SocketPlatform.h"
#include "server/ChatServer.h"
#include "server/ServerOptions.h"

#include <csignal>
#include <iostream>

namespace
{

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void RequestStop(int)
{
    stopRequested = 1;
}

} // namespace

int main(int argc, char** argv)
{
    ServerOptions options;
    std::string error;
    if (!ParseServerOptions(argc, argv, options, error))
    {
        std::cerr << "ostrel-server: " << error << " (see ostrel-server --help)" << std::endl;
        return 2;
    }
    if (options.help)
    {
        std::cout << ServerUsage();
        return 0;
    }

    WSADATA socketLayer = {};
    if (WSAStartup(MAKEWORD(2, 2), &socketLayer) != 0)
    {
        std::cerr << "ostrel-server: cannot start the socket layer" << std::endl;
        return 1;
    }
    ChatServer server(options, std::cout);
    if (!server.Start(error))
    {
        std::cerr << "ostrel-server: " << error << std::endl;
        WSACleanup();
        return 1;
    }

    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    // A signal ends the wait of the poll; the time-out bounds it where signals do not.
    while (!stopRequested)
        server.RunOnce(200);
    server.Stop();
    WSACleanup();
    return 0;
}
