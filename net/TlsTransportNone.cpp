// The host build of the networking library has no TLS: the client's TLS is Windows' own.

#include "net/TlsTransport.h"

namespace oNet
{

bool TlsTransport::Available()
{
    return false;
}

std::unique_ptr<TlsTransport> TlsTransport::Begin(SOCKET, const SocketCalls&, const std::string&,
                                                  std::string& failure)
{
    failure = "This build has no TLS.";
    return nullptr;
}

} // namespace oNet
