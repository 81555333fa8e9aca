#include "support/FailingSocketCalls.h"

#include <algorithm>

namespace testing_support
{

namespace failing_calls
{

namespace
{

int failAt = 0;
int made = 0;
bool failedLast = false;
std::vector<SOCKET> open;

// The calls that do the work when none fails.
oNet::SocketCalls base = oNet::PlatformSocketCalls();

bool Fails()
{
    failedLast = ++made == failAt;
    return failedLast;
}

SOCKET OpenSocket(int family)
{
    if (Fails())
        return INVALID_SOCKET;
    const SOCKET s = base.open(family);
    if (s != INVALID_SOCKET)
        open.push_back(s);
    return s;
}
bool SetNonBlocking(SOCKET s, bool nonBlocking)
{
    return !Fails() && base.setNonBlocking(s, nonBlocking);
}
bool SetNoDelay(SOCKET s)
{
    return !Fails() && base.setNoDelay(s);
}
int Connect(SOCKET s, const sockaddr* address, int length)
{
    return Fails() ? SOCKET_ERROR : base.connect(s, address, length);
}
int ConnectResult(SOCKET s)
{
    return Fails() ? ErrorCode : base.connectResult(s);
}
int Poll(WSAPOLLFD* records, unsigned long count, int timeoutMs)
{
    return Fails() ? SOCKET_ERROR : base.poll(records, count, timeoutMs);
}
int Receive(SOCKET s, char* buffer, int length)
{
    return Fails() ? SOCKET_ERROR : base.receive(s, buffer, length);
}
int Send(SOCKET s, const char* buffer, int length)
{
    return Fails() ? SOCKET_ERROR : base.send(s, buffer, length);
}
int Close(SOCKET s)
{
    open.erase(std::remove(open.begin(), open.end(), s), open.end());
    return base.close(s);
}
int LastError()
{
    return failedLast ? ErrorCode : base.lastError();
}

} // namespace

void Arm(int at)
{
    failAt = at;
    made = 0;
    failedLast = false;
}

int Made()
{
    return made;
}

const std::vector<SOCKET>& Open()
{
    return open;
}

oNet::SocketCalls Calls(const oNet::SocketCalls& over)
{
    base = over;
    oNet::SocketCalls calls{};
    calls.open = OpenSocket;
    calls.setNonBlocking = SetNonBlocking;
    calls.setNoDelay = SetNoDelay;
    calls.connect = Connect;
    calls.connectResult = ConnectResult;
    calls.poll = Poll;
    calls.receive = Receive;
    calls.send = Send;
    calls.close = Close;
    calls.lastError = LastError;
    return calls;
}

} // namespace failing_calls

} // namespace testing_support
