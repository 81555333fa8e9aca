// The Windows build of the server runs under no service manager it could tell anything.

#include "server/ServiceNotifier.h"

void ServiceNotifier::Ready(const std::string&) {}

void ServiceNotifier::Reloading() {}

void ServiceNotifier::Stopping() {}

std::chrono::microseconds ServiceNotifier::WatchdogInterval() const
{
    return std::chrono::microseconds(0);
}

void ServiceNotifier::Alive() {}

void ServiceNotifier::Send(const std::string&) {}
