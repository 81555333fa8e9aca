#include "support/HostProcess.h"

#include "support/Files.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace testing_support
{

namespace
{

// Starts /bin/sh with the script; it must hold no double quotes.
bool StartShell(const std::string& script)
{
    std::wstring command =
        L"Z:\\bin\\sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool FileAppears(const std::filesystem::path& file, int timeoutMs)
{
    const DWORD end = GetTickCount() + static_cast<DWORD>(timeoutMs);
    while (!std::filesystem::exists(file))
    {
        if (static_cast<int>(end - GetTickCount()) <= 0)
            return false;
        Sleep(20);
    }
    return true;
}

} // namespace

std::string HostPath(const std::filesystem::path& path)
{
    using ToUnix = char*(CDECL*)(LPCWSTR);
    static const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!toUnix)
        return "";
    char* unixPath = toUnix(path.wstring().c_str());
    if (!unixPath)
        return "";
    std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

bool RunOnHost(const std::string& command, const std::filesystem::path& folder, int timeoutMs)
{
    const std::filesystem::path done = folder / "host-command.status";
    std::error_code ignored;
    std::filesystem::remove(done, ignored);
    const std::string here = HostPath(folder);
    if (here.empty() || !StartShell("cd '" + here + "' && (" + command +
                                    ") >host-command.out 2>&1; echo $? >host-command.status"))
        return false;
    if (!FileAppears(done, timeoutMs))
        return false;
    Sleep(20); // the status is written in one go; give the writer time to close it
    return ReadBytes(done).rfind("0", 0) == 0;
}

HostProcess::HostProcess(const std::string& command, const std::filesystem::path& folder)
    : folder(folder)
{
    const std::string here = HostPath(folder);
    EXPECT_FALSE(here.empty()) << "this is not Wine";
    std::error_code ignored;
    for (const char* file : {"host.pid", "host.out", "host.err"})
        std::filesystem::remove(folder / file, ignored);
    running =
        !here.empty() && StartShell("cd '" + here + "' && echo $$ >host.pid && exec timeout 300 " +
                                    command + " >host.out 2>host.err");
    EXPECT_TRUE(running && FileAppears(folder / "host.pid", 10000)) << command;
}

std::string HostProcess::Out() const
{
    return ReadBytes(folder / "host.out");
}

std::string HostProcess::Err() const
{
    return ReadBytes(folder / "host.err");
}

void HostProcess::Stop()
{
    if (!running)
        return;
    running = false;
    const std::string pid = ReadBytes(folder / "host.pid");
    if (pid.empty())
        return;
    const std::string id = pid.substr(0, pid.find('\n'));
    // The shell became `timeout`, which passes SIGTERM on to the program and ends with it.
    EXPECT_TRUE(
        RunOnHost("kill " + id + "; while kill -0 " + id + " 2>/dev/null; do sleep 0.05; done",
                  folder, 15000));
}

} // namespace testing_support
