// ostrel-server: the chat server the Ostrel Chat client talks to.

#include "common/ReadRegularFile.h"
#include "server/ChatServer.h"
#include "server/ServerOptions.h"
#include "server/connection/ServerTls.h"
#include "server/link/RedisLink.h"
#include "server/metrics/MetricsHttp.h"
#include "server/operator/ControlClient.h"
#include "server/operator/ControlSocket.h"

#include <fstream>
#include <iostream>

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

    if (!options.command.empty())
        return SendCommand(options.control.empty() ? DefaultControlPath : options.control,
                           options.command, std::cout, std::cerr);
    if (!options.control.empty() && !ControlSocket::Available())
    {
        std::cerr << "ostrel-server: " << ControlSocket::Unavailable() << std::endl;
        return 2;
    }
    if (!options.metricsHost.empty() && !MetricsHttp::Available())
    {
        std::cerr << "ostrel-server: " << MetricsHttp::Unavailable() << std::endl;
        return 2;
    }

    // Bans are read from a regular file only: a named pipe would hold the start for ever, and
    // anything else would be replaced by the first ban.
    const std::string banFileKind = options.banFile.empty() ? "" : NotRegularFile(options.banFile);
    if (!banFileKind.empty())
    {
        std::cerr << "ostrel-server: --ban-file " << options.banFile << " is " << banFileKind
                  << ", not a regular file" << std::endl;
        return 2;
    }

    std::shared_ptr<ServerTls> tls;
    if (options.tlsPin)
    {
        std::string pin;
        if (!ServerTls::PinOf(options.tlsCert, pin, error))
        {
            std::cerr << "ostrel-server: " << error << std::endl;
            return 2;
        }
        std::cout << pin << std::endl;
        return 0;
    }
    if (!options.tlsCert.empty() &&
        !(tls = ServerTls::Load(options.tlsCert, options.tlsKey, error)))
    {
        std::cerr << "ostrel-server: " << error << std::endl;
        return 2;
    }

    if (!options.redisPasswordFile.empty())
    {
        // The password's first line; the file is the only place it is given.
        std::ifstream file(options.redisPasswordFile);
        if (!file || !std::getline(file, options.redisPassword) || options.redisPassword.empty())
        {
            std::cerr << "ostrel-server: cannot read a password from --redis-password-file "
                      << options.redisPasswordFile << std::endl;
            return 2;
        }
        if (options.redisPassword.back() == '\r')
            options.redisPassword.pop_back();
    }

    ChatServer server(options, std::cout, tls);
    if (!server.JoinRoom(error))
    {
        std::cerr << "ostrel-server: " << error << std::endl;
        return 2;
    }
    // The signals are taken before the start tells the service manager the server is ready, so
    // that a reload or stop asked for at once finds the server ready for it.
    server.TakeSignals();
    if (!server.Start(error))
    {
        std::cerr << "ostrel-server: " << error << std::endl;
        return 1;
    }
    server.Run();
    return 0;
}
