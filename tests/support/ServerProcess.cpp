#include "support/ServerProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace testing_support
{

ServerProcess::ServerProcess(std::vector<std::string> arguments, int fileLimit,
                             const std::vector<std::string>& environment)
{
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    arguments.insert(arguments.begin(), OSTREL_SERVER_PATH);
    if (fileLimit > 0)
        arguments.insert(
            arguments.begin(),
            {"/bin/sh", "-c", "ulimit -n " + std::to_string(fileLimit) + " && exec \"$0\" \"$@\""});
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** variable = environ; *variable; ++variable)
        envp.push_back(*variable);
    std::vector<std::string> more = environment;
    for (auto& variable : more)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    inFd = in[1];
    outFd = out[0];
    errFd = err[0];
}

void ServerProcess::Type(const std::string& line)
{
    const std::string bytes = line + "\n";
    EXPECT_EQ(write(inFd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

ServerProcess::~ServerProcess()
{
    if (pid > 0 && !exited)
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(inFd);
    close(outFd);
    close(errFd);
}

bool ServerProcess::OutputShows(const std::string& text, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.find(text) == std::string::npos)
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        ReadAvailable(outFd, out, 50);
    }
    return true;
}

std::size_t ServerProcess::Count(const std::string& text)
{
    while (ReadAvailable(outFd, out, 0))
    {
    }
    std::size_t count = 0;
    for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
        ++count;
    return count;
}

int ServerProcess::Wait(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0)
    {
        if (std::chrono::steady_clock::now() > end)
            return -1;
        ReadAvailable(outFd, out, 20);
        ReadAvailable(errFd, err, 0);
    }
    exited = true;
    while (ReadAvailable(outFd, out, 0) || ReadAvailable(errFd, err, 0))
    {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::uint16_t ServerProcess::ListeningPort()
{
    if (!OutputShows(" for up to "))
        return 0;
    const std::size_t at = out.find(" port ", out.find("listening on "));
    return static_cast<std::uint16_t>(std::stoi(out.substr(at + 6)));
}

void ServerProcess::Signal(int signal)
{
    if (pid > 0 && !exited)
        kill(pid, signal);
}

bool ServerProcess::ReadAvailable(int fd, std::string& into, int timeoutMs)
{
    pollfd record{fd, POLLIN, 0};
    if (poll(&record, 1, timeoutMs) <= 0)
        return false;
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0)
        return false;
    into.append(chunk, static_cast<std::size_t>(n));
    return true;
}

} // namespace testing_support
