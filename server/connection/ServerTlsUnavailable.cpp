// The Windows build of the server has no TLS: Debian has no OpenSSL for MinGW.

#include "server/connection/ServerTls.h"

namespace
{

const char* const Unavailable = "TLS is not available in the Windows build of the server; "
                                "run the Linux build for encrypted connections";

} // namespace

bool ServerTls::Available()
{
    return false;
}

std::unique_ptr<ServerTls> ServerTls::Load(const std::string&, const std::string&,
                                           std::string& error)
{
    error = Unavailable;
    return nullptr;
}

bool ServerTls::PinOf(const std::string&, std::string&, std::string& error)
{
    error = Unavailable;
    return false;
}
