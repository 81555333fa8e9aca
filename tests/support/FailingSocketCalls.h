#pragma once

// Socket calls of which one, the failAt-th from Arm on, fails, as curl's torture tests fail each
// fallible call in turn; all others are those of a base set (the platform's, unless a test gives
// its own). Every socket they open is tracked until it is closed, so that a test can see none is
// left open.

#include "net/SocketCalls.h"

#include <vector>

namespace testing_support
{

namespace failing_calls
{

// The error code of the call that fails.
constexpr int ErrorCode = WSAENOBUFS;

// From now on, the failAt-th call fails (counting from 1); 0: none.
void Arm(int failAt);
// Calls made since Arm.
int Made();
// Sockets opened and not closed.
const std::vector<SOCKET>& Open();
// Every call that can fail, as the client takes them, over the base calls.
oNet::SocketCalls Calls(const oNet::SocketCalls& base = oNet::PlatformSocketCalls());

} // namespace failing_calls

} // namespace testing_support
