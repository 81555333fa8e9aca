// The Windows build has no metrics endpoint: Debian's HTTP library is built for Linux only.

#include "server/metrics/MetricsHttp.h"

bool MetricsHttp::Available()
{
    return false;
}

std::string MetricsHttp::Unavailable()
{
    return "--metrics is not available in the Windows build of the server";
}

std::unique_ptr<MetricsHttp> MetricsHttp::Start(const std::string&, std::uint16_t, FiguresSource,
                                                std::string& error, const HttpLimits&)
{
    error = Unavailable();
    return nullptr;
}
