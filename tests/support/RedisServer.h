#pragma once

// A redis-server of the test's own (Linux): on a Unix socket in a temporary folder, saving
// nothing, stopped when the test is done. It can be stopped and started again (empty, as a Redis
// without persistence restarts), or frozen so that it no longer answers.

#include "support/Files.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support
{

class RedisServer
{
public:
    RedisServer();
    ~RedisServer() { Stop(); }
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    // What ostrel-server's --redis takes.
    std::string Url() const { return "unix:" + socket; }
    const std::string& Socket() const { return socket; }
    bool Running() const { return pid > 0; }

    // Starts it (again, empty), and waits until it answers; false when it does not in time.
    bool Start(const std::vector<std::string>& options = {});
    // Ends it (SIGTERM; it saves nothing) and waits until it has gone.
    void Stop();
    // It stops answering, and answers again, without closing any connection.
    void Freeze();
    void Thaw();

    // One command, answered as text: a string or status as it is, an integer in decimal, nil as
    // "(nil)", an error as "(error) ...", an array as its elements' texts, one a line.
    std::string Command(const std::vector<std::string>& words) const;

private:
    TempDir dir;
    std::string socket;
    pid_t pid = -1;
};

} // namespace testing_support
