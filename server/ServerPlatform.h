#pragma once

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

// What differs between the server's platforms: descriptor limits, stop and reload signals,
// address reuse, thread priorities.

constexpr std::size_t NoDescriptorLimit = std::numeric_limits<std::size_t>::max();

// Raises the process's soft limit on open files to its hard limit and returns the limit now in
// force; NoDescriptorLimit where the system has no such limit.
std::size_t RaiseDescriptorLimit();

// The signals that ask the server to stop in an orderly way.
std::vector<int> StopSignals();
// The signals that ask it to read its certificate and bans anew (none where there is no SIGHUP).
std::vector<int> ReloadSignals();

// The machine's name, as a server names itself in a room across servers by default.
std::string HostName();

// Lets a restarted server listen on its port at once, although connections of its last run
// may linger in the system's wait state.
void AllowQuickRestart(asio::ip::tcp::acceptor& acceptor);

// Lowers the priority of the calling thread, so that it gives way to the room's thread wherever
// the two share a core (the TLS handshakes' threads do this first).
void GiveWayToTheRoom();
