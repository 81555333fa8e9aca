#include "server/ServerPlatform.h"

#include <asio/ip/host_name.hpp>

#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

std::string HostName()
{
    asio::error_code error;
    const std::string name = asio::ip::host_name(error);
    return error || name.empty() ? "localhost" : name;
}

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

void GiveWayToTheRoom()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
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

// On Linux each thread has a nice value of its own.
void GiveWayToTheRoom()
{
    constexpr int Nice = 10;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), Nice);
}

#endif
