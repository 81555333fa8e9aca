// What the file helpers need from a POSIX system: exclusive creation under a fresh name, flushing
// to disk, renaming over, and opening only what is a regular file.

#include "common/MoveFileOver.h"
#include "common/ReadRegularFile.h"
#include "common/TemporaryFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace
{

std::string KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "no regular file";
}

// The directory that holds path, for flushing the entry a rename made.
std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool MoveFileOver(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

TemporaryFile::TemporaryFile(const std::string& beside)
{
    // mkostemps makes the file with O_CREAT | O_EXCL under a name nobody has, trying others
    // while names are taken: it never opens an existing file, nor anything through a link.
    const std::string suffix = ".tmp";
    std::vector<char> name(beside.begin(), beside.end());
    const std::string pattern = ".XXXXXX" + suffix;
    name.insert(name.end(), pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0)
    {
        Failed("cannot make a new file beside it");
        return;
    }
    handle = fd;
    path = name.data();
}

TemporaryFile::~TemporaryFile()
{
    Discard();
}

void TemporaryFile::Failed(const std::string& step)
{
    problem = step + ": " + std::strerror(errno);
}

void TemporaryFile::Discard()
{
    if (handle == Invalid)
        return;
    ::close(static_cast<int>(handle));
    ::unlink(path.c_str());
    handle = Invalid;
}

bool TemporaryFile::Write(const std::string& bytes)
{
    std::size_t written = 0;
    while (handle != Invalid && written < bytes.size())
    {
        const ssize_t n =
            ::write(static_cast<int>(handle), bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            if (n == 0)
                errno = ENOSPC;
            Failed("cannot write the new file " + path);
            Discard();
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return handle != Invalid;
}

bool TemporaryFile::MoveOver(const std::string& target)
{
    if (handle == Invalid)
        return false;
    const int fd = static_cast<int>(handle);
    // The new file is made for its owner alone; one that replaces another keeps what the other
    // allowed.
    struct stat old
    {
    };
    if (::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
        ::fchmod(fd, old.st_mode & 07777) != 0)
    {
        Failed("cannot give the new file the permissions of the old one");
        Discard();
        return false;
    }
    // Closed whether or not the flush worked; the first failure is the one reported.
    const bool flushed = ::fsync(fd) == 0;
    if (!flushed)
        Failed("cannot flush the new file " + path + " to disk");
    const bool closed = ::close(fd) == 0;
    if (flushed && !closed)
        Failed("cannot close the new file " + path);
    handle = Invalid;
    if (!flushed || !closed)
    {
        ::unlink(path.c_str());
        return false;
    }
    if (!MoveFileOver(path, target))
    {
        Failed("cannot move the new file " + path + " over it");
        ::unlink(path.c_str());
        return false;
    }
    // The rename itself reaches the disk with its directory. Should that flush fail, the file
    // is in place all the same and the next write tries again.
    const int folder = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0)
    {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

std::string TemporaryFile::AsText(const std::string& text)
{
    return text;
}

FileRead ReadRegularFile(const std::string& path, std::string& content, std::string& problem)
{
    // O_NOFOLLOW: a link at the name is refused; O_NONBLOCK: opening a named pipe returns at
    // once instead of waiting for a writer (it is then refused as no regular file).
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        if (errno == ENOENT)
            return FileRead::Missing;
        if (errno == ELOOP)
        {
            problem = KindOf(S_IFLNK);
            return FileRead::NotRegular;
        }
        problem = std::strerror(errno);
        return FileRead::Failed;
    }
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
    {
        problem = KindOf(status.st_mode);
        ::close(fd);
        return FileRead::NotRegular;
    }
    content.clear();
    char chunk[65536];
    for (;;)
    {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            problem = std::strerror(errno);
            ::close(fd);
            return FileRead::Failed;
        }
        if (n == 0)
            break;
        content.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return FileRead::Read;
}

std::string NotRegularFile(const std::string& path)
{
    struct stat status
    {
    };
    if (::lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode))
        return "";
    return KindOf(status.st_mode);
}
