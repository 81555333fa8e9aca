#pragma once

#include <string>

// Reading a file that someone else may have put something odd in the place of: a link, a
// directory, a named pipe (whose open would wait for a writer for ever) or a device.

enum class FileRead
{
    Read,       // content holds the whole file
    Missing,    // nothing is at the path
    NotRegular, // something other than a regular file is there; problem says what
    Failed      // a regular file that could not be read; problem says why
};

// Reads the whole file at path, opened without following a link at its name and without
// waiting on whatever is there.
FileRead ReadRegularFile(const std::string& path, std::string& content, std::string& problem);

// Empty when nothing is at path or a regular file is; otherwise what is there instead ("a
// directory", "a named pipe", "a symbolic link", ...). A link is not followed.
std::string NotRegularFile(const std::string& path);
