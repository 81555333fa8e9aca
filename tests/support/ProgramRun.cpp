#include "support/ProgramRun.h"

#include "support/Files.h"
#include "support/WindowTesting.h"

namespace testing_support
{

namespace
{

HANDLE InheritableFile(const std::filesystem::path& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.wstring().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string WithoutCarriageReturns(std::string text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

struct WindowSearch
{
    DWORD processId;
    const char* className;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window) &&
        ClassNameOf(window) == search->className)
        search->found.push_back(window);
    return TRUE;
}

} // namespace

std::filesystem::path ProgramPath(const wchar_t* fileName)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::filesystem::path(self).parent_path().parent_path() / fileName;
}

ProgramRun::ProgramRun(const std::filesystem::path& program,
                       const std::filesystem::path& workingDirectory, const std::wstring& arguments)
    : outPath(workingDirectory / "stdout.txt"), errPath(workingDirectory / "stderr.txt")
{
    const HANDLE out = InheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE err = InheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE in = InheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = L"\"" + program.wstring() + L"\" " + arguments;
    if (CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                       nullptr, workingDirectory.wstring().c_str(), &startup, &info))
    {
        process = info.hProcess;
        processId = info.dwProcessId;
        CloseHandle(info.hThread);
    }
    CloseHandle(out);
    CloseHandle(err);
    CloseHandle(in);
}

ProgramRun::~ProgramRun()
{
    if (!process)
        return;
    if (Running())
    {
        TerminateProcess(process, 255);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
}

HWND ProgramRun::WaitForWindow(const char* className, int timeoutMs) const
{
    const DWORD end = GetTickCount() + timeoutMs;
    do
    {
        const auto windows = WindowsOf(className);
        if (!windows.empty())
            return windows.front();
        Sleep(20);
    } while (GetTickCount() < end && Running());
    return nullptr;
}

std::vector<HWND> ProgramRun::WindowsOf(const char* className) const
{
    WindowSearch search{processId, className, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool ProgramRun::WaitForExit(DWORD& exitCode, int timeoutMs)
{
    if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(process, &exitCode);
    return true;
}

bool ProgramRun::Running() const
{
    return process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

std::string ProgramRun::Out() const
{
    return WithoutCarriageReturns(ReadBytes(outPath));
}

std::string ProgramRun::Err() const
{
    return WithoutCarriageReturns(ReadBytes(errPath));
}

} // namespace testing_support
