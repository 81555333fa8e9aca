#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

// Tells the service manager how the server stands when it runs the server as a notify service
// (systemd's Type=notify, which sets NOTIFY_SOCKET); otherwise, and in the Windows build, it says
// nothing. The messages are systemd's own, sent through libsystemd's sd_notify. A message that
// cannot be sent is logged, once.
class ServiceNotifier
{
public:
    explicit ServiceNotifier(std::ostream& log) : log(log) {}

    // Listening, and ready for clients; status is a line for `systemctl status`.
    void Ready(const std::string& status);
    // Reading its files anew; Ready follows when it is done.
    void Reloading();
    void Stopping();
    // How often the service manager wants to hear that the event loop is alive: half the time
    // it gives the server (WatchdogSec=), or zero when it wants nothing.
    std::chrono::microseconds WatchdogInterval() const;
    void Alive();

private:
    void Send(const std::string& message);

    std::ostream& log;
    bool failureLogged = false;
};
