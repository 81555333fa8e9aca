#include "net/PosixSockets.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>

int WSAStartup(WORD requestedVersion, WSADATA* data)
{
    (void)requestedVersion;
    std::signal(SIGPIPE, SIG_IGN);
    data->wVersion = MAKEWORD(2, 2);
    data->wHighVersion = MAKEWORD(2, 2);
    return 0;
}

int WSACleanup()
{
    return 0;
}

int WSAGetLastError()
{
    switch (errno)
    {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return WSAEWOULDBLOCK;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
        return WSAEMFILE;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    default:
        return errno;
    }
}

int ioctlsocket(SOCKET socket, long command, u_long* argument)
{
    if (command != FIONBIO)
    {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    const int flags = fcntl(socket, F_GETFL, 0);
    if (flags == -1)
        return SOCKET_ERROR;
    const int wanted = *argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(socket, F_SETFL, wanted) == -1 ? SOCKET_ERROR : 0;
}

int closesocket(SOCKET socket)
{
    return close(socket);
}

int WSAPoll(WSAPOLLFD* records, unsigned long count, int timeout)
{
    return poll(records, static_cast<nfds_t>(count), timeout);
}
