#pragma once

#include <chrono>

namespace oNet
{

// The clock of the library's waits and limits: how long a connection may take to be made, and
// when to try again after one was lost. Its owners take a function that tells its time, so that
// tests can move it themselves.
using Clock = std::chrono::steady_clock;

} // namespace oNet
