#pragma once

// Runs one of the project's Windows programs as a separate process, as a user would start it:
// in a working directory of the test's choosing, with its standard output and error captured in
// files there. Finds its windows and reads what it wrote.

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support
{

// A program built beside the tests folder, e.g. ProgramPath(L"ostrel-chat.exe").
std::filesystem::path ProgramPath(const wchar_t* fileName);

class ProgramRun
{
public:
    ProgramRun(const std::filesystem::path& program, const std::filesystem::path& workingDirectory,
               const std::wstring& arguments = L"");
    ~ProgramRun(); // ends the process if it still runs
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool Started() const { return process != nullptr; }
    DWORD ProcessId() const { return processId; }

    // A visible top-level window of the process with this class name, or null after the time.
    HWND WaitForWindow(const char* className, int timeoutMs = 10000) const;
    // Every visible top-level window of the process with this class name.
    std::vector<HWND> WindowsOf(const char* className) const;
    // True and the exit code once the process has ended within the time.
    bool WaitForExit(DWORD& exitCode, int timeoutMs = 10000);
    bool Running() const;

    // What the program wrote so far, line breaks as "\n".
    std::string Out() const;
    std::string Err() const;

private:
    HANDLE process = nullptr;
    DWORD processId = 0;
    std::filesystem::path outPath;
    std::filesystem::path errPath;
};

// Waits until the text holds the piece, re-reading it through the function.
template <typename Read>
bool WaitForText(Read read, const std::string& piece, int timeoutMs = 10000)
{
    const DWORD end = GetTickCount() + timeoutMs;
    while (read().find(piece) == std::string::npos)
    {
        if (GetTickCount() > end)
            return false;
        Sleep(20);
    }
    return true;
}

} // namespace testing_support
