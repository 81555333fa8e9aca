#pragma once

#include <string>

// The Redis the room needs: 7.0 or later (a stream's count of entries ever added, by which a
// server notices entries trimmed before it read them; SET with NX and GET together).
namespace RedisVersion
{

constexpr int OldestMajor = 7;
constexpr int OldestMinor = 0;

// Empty when the text of INFO server names a version the room works with; otherwise why not,
// in one line.
std::string Problem(const std::string& info);

} // namespace RedisVersion
