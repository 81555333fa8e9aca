#pragma once

#include <ctime>

// What the chat client asks of the platform, in one place: the local time of day, and a seed for
// the generated nickname that differs between programs started in the same second.

std::tm LocalTimeNow();
unsigned NicknameSeedNow();
