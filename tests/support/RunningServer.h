#pragma once

// The chat server in the test process, on a loopback port of the system's choosing, running on a
// thread of its own until the object goes: a real server for tests of the server and of the
// clients that talk to it. Its log is kept for the test to read.

#include "server/ChatServer.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>

namespace testing_support
{

// A log the server thread writes and the test reads.
class LockedLog : public std::streambuf
{
public:
    std::string Text();

protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    std::mutex mutex;
    std::string text;
};

class RunningServer
{
public:
    // Listens on options.listenAddress (127.0.0.1 unless set), on a port of the system's choosing.
    explicit RunningServer(ServerOptions options = {}, OutputLimits limits = {});
    ~RunningServer();
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    std::uint16_t Port() const { return server->Port(); }
    std::string Log() { return log.Text(); }
    // The server's figures, taken on its thread; nothing when it did not answer in 5 s.
    std::optional<ServerFigures> AskFigures()
    {
        return server->AskFigures(std::chrono::milliseconds(5000));
    }

private:
    LockedLog log;
    std::ostream logStream;
    std::unique_ptr<ChatServer> server;
    std::thread thread;
};

} // namespace testing_support
