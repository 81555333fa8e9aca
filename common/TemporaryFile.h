#pragma once

#include <cstdint>
#include <string>

// A new file beside another, written and then moved over it. It is made under a name of its own
// (the other's name, a random part, ".tmp") and only where nothing is yet: an existing file, or
// a link planted there by someone else, makes the creation fail (and another name is tried), so
// that nothing but this new file is ever written. It is removed again unless it has been moved
// over the other.
class TemporaryFile
{
public:
    explicit TemporaryFile(const std::string& beside);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // False when it could not be made; nothing else then succeeds.
    bool Created() const { return handle != Invalid; }
    // Why the last step that failed did (what could not be done, and the system's reason).
    const std::string& Problem() const { return problem; }
    const std::string& Path() const { return path; }
    // Appends the bytes as they are.
    bool Write(const std::string& bytes);
    // Flushes it to disk, closes it and moves it over target in one step, with target's
    // permissions where target exists; false when any of it fails (it is then removed).
    bool MoveOver(const std::string& target);

    // The text as a file opened in text mode holds it on this platform (CR LF on Windows).
    static std::string AsText(const std::string& text);

private:
    static constexpr std::intptr_t Invalid = -1; // no descriptor; INVALID_HANDLE_VALUE
    void Discard();
    // Notes why a step failed, from the system's last error.
    void Failed(const std::string& step);

    std::string path;
    std::string problem;
    std::intptr_t handle = Invalid;
};
