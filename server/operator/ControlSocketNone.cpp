// The Windows build of the server takes operator commands from its console window only.

#include "server/operator/ControlSocket.h"

#include <ostream>

bool ControlSocket::Available()
{
    return false;
}

std::string ControlSocket::Unavailable()
{
    return "the control socket (--control, --command) is for Linux: on Windows, type commands "
           "into the server's console window";
}

std::string ControlSocket::PathProblem(const std::string&)
{
    return "";
}

std::unique_ptr<ControlSocket> ControlSocket::Open(asio::io_context&, const std::string&,
                                                   CommandHandler, std::ostream&,
                                                   std::string& error)
{
    error = Unavailable();
    return nullptr;
}
