#pragma once

// Files for tests: a scratch directory removed afterwards, raw byte reads and writes, and the
// platform's line break as text-mode files hold it.

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support
{

#ifdef _WIN32
inline const std::string LineBreak = "\r\n";
#else
inline const std::string LineBreak = "\n";
#endif

// The text as a text-mode stream stores it: every "\n" as the platform's line break.
std::string OnDisk(const std::string& text);

std::string ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);

class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path; }
    std::string File(const std::string& name) const { return (path / name).string(); }

private:
    std::filesystem::path path;
};

// Keeps a file readable but not writable while it lives: on Windows another handle holds it
// open for reading and shares it for reading only; elsewhere its permissions (and, for root,
// whom permissions do not stop, its immutable flag) forbid writing. Works() tells whether that
// could be arranged on this machine.
class UnwritableFile
{
public:
    explicit UnwritableFile(const std::filesystem::path& path);
    ~UnwritableFile();
    UnwritableFile(const UnwritableFile&) = delete;
    UnwritableFile& operator=(const UnwritableFile&) = delete;

    bool Works() const { return works; }

private:
    std::filesystem::path path;
    bool works = false;
    void* handle = nullptr;
    bool immutable = false;
};

// Keeps a file writable where it is but impossible to replace by another while it lives: on
// Windows another handle holds it open without letting it be deleted; elsewhere its folder takes
// no new file (its permissions, and, for root, whom permissions do not stop, its immutable flag).
// Works() tells whether that could be arranged on this machine.
class UnreplaceableFile
{
public:
    explicit UnreplaceableFile(const std::filesystem::path& path);
    ~UnreplaceableFile();
    UnreplaceableFile(const UnreplaceableFile&) = delete;
    UnreplaceableFile& operator=(const UnreplaceableFile&) = delete;

    bool Works() const { return works; }

private:
    std::filesystem::path folder;
    bool works = false;
    void* handle = nullptr;
    bool immutable = false;
};

// The names in a folder, sorted.
std::vector<std::string> NamesIn(const std::filesystem::path& folder);

} // namespace testing_support
