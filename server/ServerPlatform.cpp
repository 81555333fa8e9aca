#include "server/ServerPlatform.h"

#include <csignal>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#ifdef _WIN32

std::size_t RaiseDescriptorLimit()
{
    return NoDescriptorLimit;
}

std::vector<int> StopSignals()
{
    return {SIGINT, SIGTERM};
}

std::vector<int> ReloadSignals()
{
    return {};
}

void AllowQuickRestart(asio::ip::tcp::acceptor&)
{
    // Windows lets a listener bind over lingering connections anyway; its SO_REUSEADDR would
    // instead let another program take the port over.
}

#else

std::size_t RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return NoDescriptorLimit;
    if (limit.rlim_cur < limit.rlim_max)
    {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? NoDescriptorLimit
                                           : static_cast<std::size_t>(limit.rlim_cur);
}

std::vector<int> StopSignals()
{
    return {SIGINT, SIGTERM};
}

std::vector<int> ReloadSignals()
{
    return {SIGHUP};
}

void AllowQuickRestart(asio::ip::tcp::acceptor& acceptor)
{
    asio::error_code ignored;
    acceptor.set_option(asio::socket_base::reuse_address(true), ignored);
}

#endif
