// What the file helpers need from Windows: exclusive creation under a fresh name, flushing to
// disk, moving over, and opening only what is a regular file.

#include "common/MoveFileOver.h"
#include "common/ReadRegularFile.h"
#include "common/TemporaryFile.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace
{

// Paths are narrow texts in the system's ANSI code page.
std::wstring Wide(const std::string& path)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(size > 0 ? size : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), size);
    wide.resize(wide.size() - 1);
    return wide;
}

HANDLE HandleOf(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// Six characters nobody can guess: the system's random numbers, mixed with the clock, the
// process and a count in case they are poor.
std::string RandomPart()
{
    static std::atomic<unsigned> count{0};
    std::random_device device;
    std::uint64_t mixed = (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
                          GetTickCount64() ^ (std::uint64_t{GetCurrentProcessId()} << 20) ^
                          (std::uint64_t{++count} * 0x9E3779B97F4A7C15ull);
    const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string part;
    for (int i = 0; i < 6; ++i, mixed /= 36)
        part += letters[mixed % 36];
    return part;
}

// The system's text for its last error, on one line.
std::string LastErrorText()
{
    const DWORD code = GetLastError();
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "Windows error " + std::to_string(code) : message;
}

std::string KindOf(const std::filesystem::file_status& status)
{
    switch (status.type())
    {
    case std::filesystem::file_type::directory:
        return "a directory";
    case std::filesystem::file_type::symlink:
        return "a symbolic link";
    default:
        return "no regular file";
    }
}

} // namespace

bool MoveFileOver(const std::string& from, const std::string& to)
{
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

TemporaryFile::TemporaryFile(const std::string& beside)
{
    // CREATE_NEW fails when anything, a link included, has the name: another is tried.
    for (int attempt = 0; attempt < 16 && handle == Invalid; ++attempt)
    {
        const std::string name = beside + "." + RandomPart() + ".tmp";
        const HANDLE file = CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
        {
            handle = reinterpret_cast<std::intptr_t>(file);
            path = name;
        }
        else if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (handle == Invalid)
        Failed("cannot make a new file beside it");
}

void TemporaryFile::Failed(const std::string& step)
{
    problem = step + ": " + LastErrorText();
}

TemporaryFile::~TemporaryFile()
{
    Discard();
}

void TemporaryFile::Discard()
{
    if (handle == Invalid)
        return;
    CloseHandle(HandleOf(handle));
    DeleteFileW(Wide(path).c_str());
    handle = Invalid;
}

bool TemporaryFile::Write(const std::string& bytes)
{
    std::size_t written = 0;
    while (handle != Invalid && written < bytes.size())
    {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1u << 20));
        DWORD n = 0;
        if (!WriteFile(HandleOf(handle), bytes.data() + written, chunk, &n, nullptr) || n == 0)
        {
            Failed("cannot write the new file " + path);
            Discard();
            return false;
        }
        written += n;
    }
    return handle != Invalid;
}

bool TemporaryFile::MoveOver(const std::string& target)
{
    if (handle == Invalid)
        return false;
    const bool flushed = FlushFileBuffers(HandleOf(handle)) != 0;
    if (!flushed)
        Failed("cannot flush the new file " + path + " to disk");
    const bool closed = CloseHandle(HandleOf(handle)) != 0;
    if (flushed && !closed)
        Failed("cannot close the new file " + path);
    handle = Invalid;
    const bool moved = flushed && closed && MoveFileOver(path, target);
    if (flushed && closed && !moved)
        Failed("cannot move the new file " + path + " over it");
    if (!moved)
    {
        DeleteFileW(Wide(path).c_str());
        return false;
    }
    return true;
}

std::string TemporaryFile::AsText(const std::string& text)
{
    std::string onDisk;
    onDisk.reserve(text.size() + text.size() / 32);
    for (char c : text)
    {
        if (c == '\n')
            onDisk += '\r';
        onDisk += c;
    }
    return onDisk;
}

FileRead ReadRegularFile(const std::string& path, std::string& content, std::string& problem)
{
    // Windows has no named pipes or devices among a folder's files; a link or a folder is
    // refused as on every system.
    const std::string kind = NotRegularFile(path);
    if (!kind.empty())
    {
        problem = kind;
        return FileRead::NotRegular;
    }
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error)))
        return FileRead::Missing;
    std::ifstream in(path, std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad())
    {
        problem = "it cannot be read";
        return FileRead::Failed;
    }
    return FileRead::Read;
}

std::string NotRegularFile(const std::string& path)
{
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (error || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status))
        return "";
    return KindOf(status);
}
