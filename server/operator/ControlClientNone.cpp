// The Windows build has no control socket, and so no client for it.

#include "server/operator/ControlClient.h"
#include "server/operator/ControlSocket.h"

#include <ostream>

int SendCommand(const std::string&, const std::string&, std::ostream&, std::ostream& err)
{
    err << "ostrel-server: " << ControlSocket::Unavailable() << std::endl;
    return 2;
}
