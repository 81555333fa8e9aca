#pragma once

#include <cstdint>
#include <optional>

// The process's own figures as the system keeps them, read when they are reported.
struct ProcessFigures
{
    std::uint64_t residentBytes = 0;
    std::uint64_t openFiles = 0;
    double cpuSeconds = 0; // user and system
    double startTime = 0;  // seconds since 1970
};

// From /proc on Linux; nothing where the system does not tell (Windows), or cannot be read.
std::optional<ProcessFigures> ReadProcessFigures();
