#pragma once

// ostrel-server run as a process of the host (Linux), for tests of the real program: its
// standard input is a pipe the test types into, its output is read as it comes.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support
{

class ServerProcess
{
public:
    // With a file limit, the server is started through the shell, which sets it first; the
    // environment's variables ("NAME=value") come on top of the test's own.
    explicit ServerProcess(std::vector<std::string> arguments, int fileLimit = 0,
                           const std::vector<std::string>& environment = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // A line on the server's standard input, as typed at its console.
    void Type(const std::string& line);
    // Reads the standard output until it holds the text; false after the time.
    bool OutputShows(const std::string& text, int timeoutMs = 5000);
    // How often the text is in what the server has written so far.
    std::size_t Count(const std::string& text);
    // Waits for the process to end and collects all it wrote; its exit status, or -1.
    int Wait(int timeoutMs = 5000);
    // The port the server reported listening on.
    std::uint16_t ListeningPort();
    void Signal(int signal);

    pid_t pid = -1;
    std::string out;
    std::string err;

private:
    static bool ReadAvailable(int fd, std::string& into, int timeoutMs);

    int inFd = -1;
    int outFd = -1;
    int errFd = -1;
    bool exited = false;
};

} // namespace testing_support
