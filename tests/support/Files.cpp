#include "support/Files.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace testing_support
{

std::string OnDisk(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        if (c == '\n')
            out += LineBreak;
        else
            out += c;
    }
    return out;
}

std::string ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir()
{
    std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    do
        path = std::filesystem::temp_directory_path() / ("ostrel-test-" + std::to_string(random()));
    while (!std::filesystem::create_directory(path));
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

#ifdef _WIN32

UnwritableFile::UnwritableFile(const std::filesystem::path& path) : path(path)
{
    HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
    {
        handle = file;
        works = true;
    }
}

UnwritableFile::~UnwritableFile()
{
    if (handle)
        CloseHandle(static_cast<HANDLE>(handle));
}

UnreplaceableFile::UnreplaceableFile(const std::filesystem::path& path) : folder(path.parent_path())
{
    // Writing in place is shared; deleting, which replacing it needs, is not.
    HANDLE file =
        CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
    {
        handle = file;
        works = true;
    }
}

UnreplaceableFile::~UnreplaceableFile()
{
    if (handle)
        CloseHandle(static_cast<HANDLE>(handle));
}

#else

namespace
{

bool SetImmutable(const std::filesystem::path& path, bool on)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done)
    {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

bool CanOpenForWriting(const std::filesystem::path& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

} // namespace

UnwritableFile::UnwritableFile(const std::filesystem::path& path) : path(path)
{
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    if (CanOpenForWriting(path))
        immutable = SetImmutable(path, true);
    works = !CanOpenForWriting(path);
}

UnwritableFile::~UnwritableFile()
{
    if (immutable)
        SetImmutable(path, false);
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add, ignored);
}

namespace
{

bool CanCreateIn(const std::filesystem::path& folder)
{
    const std::filesystem::path probe = folder / "probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    close(fd);
    unlink(probe.c_str());
    return true;
}

} // namespace

UnreplaceableFile::UnreplaceableFile(const std::filesystem::path& path) : folder(path.parent_path())
{
    std::filesystem::permissions(folder, std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_exec);
    if (CanCreateIn(folder))
        immutable = SetImmutable(folder, true);
    works = !CanCreateIn(folder);
}

UnreplaceableFile::~UnreplaceableFile()
{
    if (immutable)
        SetImmutable(folder, false);
    std::error_code ignored;
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
}

#endif

std::vector<std::string> NamesIn(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace testing_support
