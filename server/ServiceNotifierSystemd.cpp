// The service manager on Linux: systemd's notify protocol through libsystemd.

#include "server/ServiceNotifier.h"

#include "server/room/ServerLog.h"

#include <systemd/sd-daemon.h>

#include <cstring>
#include <ctime>

void ServiceNotifier::Ready(const std::string& status)
{
    Send("READY=1\nSTATUS=" + status);
}

// With the time the reload began, as systemd asks of a reloading service.
void ServiceNotifier::Reloading()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long microseconds =
        static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + now.tv_nsec / 1000;
    Send("RELOADING=1\nSTATUS=reloading\nMONOTONIC_USEC=" + std::to_string(microseconds));
}

void ServiceNotifier::Stopping()
{
    Send("STOPPING=1\nSTATUS=shutting down");
}

std::chrono::microseconds ServiceNotifier::WatchdogInterval() const
{
    std::uint64_t microseconds = 0;
    if (sd_watchdog_enabled(0, &microseconds) <= 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(microseconds / 2);
}

void ServiceNotifier::Alive()
{
    Send("WATCHDOG=1");
}

void ServiceNotifier::Send(const std::string& message)
{
    // Without NOTIFY_SOCKET it sends nothing and says 0.
    const int result = sd_notify(0, message.c_str());
    if (result >= 0 || failureLogged)
        return;
    failureLogged = true;
    WriteLogLine(log, "cannot tell the service manager how the server stands (NOTIFY_SOCKET): " +
                          std::string(std::strerror(-result)));
}
