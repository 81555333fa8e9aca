#pragma once

// Programs of the Linux host, run from a test under Wine: Wine starts a Unix executable named by
// its path on drive Z:. The end-to-end tests of encrypted connections need the Linux build of the
// server (the Windows one has no TLS) and the openssl command. Wine gives no handle that can be
// waited on for such a process, so everything is learnt from files, with deadlines.

#include <filesystem>
#include <string>

namespace testing_support
{

// The host's path of a file or folder the test sees (C:\..., Z:\...).
std::string HostPath(const std::filesystem::path& path);

// Runs a shell command on the host in the folder and waits for it to end; false when it did not
// within the time or failed.
bool RunOnHost(const std::string& command, const std::filesystem::path& folder,
               int timeoutMs = 30000);

// A long-running host program, started by a shell command in a folder of its own, its standard
// output and error in files there; stopped (SIGTERM) when it goes. A test that dies leaves it to
// end by itself after a few minutes.
class HostProcess
{
public:
    HostProcess(const std::string& command, const std::filesystem::path& folder);
    ~HostProcess() { Stop(); }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    std::string Out() const;
    std::string Err() const;
    void Stop();

private:
    std::filesystem::path folder;
    bool running = false;
};

} // namespace testing_support
