#pragma once

// Files for tests: a scratch directory removed afterwards, raw byte reads and writes, and the
// platform's line break as text-mode files hold it.

#include <filesystem>
#include <string>

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

} // namespace testing_support
