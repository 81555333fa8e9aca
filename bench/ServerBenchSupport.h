#pragma once

// What the server benchmarks share (Linux only): pinning to cores, clocks, loopback clients that
// speak the chat protocol, many connections read through one epoll set, and the real server
// started as a process of its own.

#include "bench/Loopback.h"
#include "common/ChatProtocol.h"
#include "net/SocketPlatform.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace bench
{

using Clock = std::chrono::steady_clock;

inline void PinToCore(int core)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core % static_cast<int>(std::thread::hardware_concurrency()), &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

inline std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

inline double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Sends every byte, waiting while the socket is full.
inline void SendAll(SOCKET s, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        const int n = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            return; // the connection is gone
        else
            std::this_thread::yield();
    }
}

inline std::string TextFrame(oNet::PacketType type, const std::string& text)
{
    return oNet::WireFrame(*ChatProtocol::MakeTextPacket(type, text));
}

// TLS client connections for the benchmarks, as many as wanted from one context.
class TlsClients
{
public:
    TlsClients() : context(SSL_CTX_new(TLS_client_method()))
    {
        SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE);
    }
    ~TlsClients() { SSL_CTX_free(context); }
    TlsClients(const TlsClients&) = delete;
    TlsClients& operator=(const TlsClients&) = delete;

    // Connects to 127.0.0.1 and makes the handshake, waiting for it; then the connection is
    // non-blocking. Null when the handshake fails.
    SSL* Connect(std::uint16_t port, SOCKET& s)
    {
        s = ConnectToLoopback(port);
        const int noDelay = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, s);
        if (SSL_connect(ssl) != 1)
        {
            SSL_free(ssl);
            return nullptr;
        }
        oNet::SetNonBlocking(s, true);
        return ssl;
    }

private:
    SSL_CTX* context;
};

// Writes all the bytes through TLS on a non-blocking socket, waiting while it is full.
inline void SendAllTls(SSL* ssl, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        const int n = SSL_write(ssl, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (n > 0)
        {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int error = SSL_get_error(ssl, n);
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ)
            return; // the connection is gone
        pollfd record{SSL_get_fd(ssl),
                      static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
        poll(&record, 1, 100);
    }
}

// Many client connections, read through one epoll set on the calling thread. Each whole frame is
// handed to a callback with the connection's index, the packet type and the text it carries.
// A connection may be plain or TLS.
class Crowd
{
public:
    Crowd() : epoll(epoll_create1(0)) {}
    ~Crowd()
    {
        for (std::size_t i = 0; i < sockets.size(); ++i)
        {
            SSL_free(tls[i]);
            if (open[i])
                closesocket(sockets[i]);
        }
        close(epoll);
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;

    std::size_t Add(SOCKET s, SSL* ssl = nullptr)
    {
        const std::size_t index = sockets.size();
        sockets.push_back(s);
        tls.push_back(ssl);
        input.emplace_back();
        open.push_back(true);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = index;
        epoll_ctl(epoll, EPOLL_CTL_ADD, s, &event);
        return index;
    }

    std::size_t Size() const { return sockets.size(); }
    SOCKET Socket(std::size_t index) const { return sockets[index]; }
    // Sends all the bytes on the connection, through TLS when it has it.
    void Send(std::size_t index, const std::string& bytes)
    {
        if (tls[index])
            SendAllTls(tls[index], bytes);
        else
            SendAll(sockets[index], bytes);
    }
    bool Open(std::size_t index) const { return open[index]; }
    std::size_t ClosedCount() const
    {
        std::size_t count = 0;
        for (bool isOpen : open)
            count += isOpen ? 0 : 1;
        return count;
    }

    // Waits up to timeoutMs for input, reads what has come and hands over every whole frame:
    // onFrame(index, type, text). Returns how many frames it handed over.
    template <typename OnFrame> std::size_t Poll(int timeoutMs, OnFrame&& onFrame)
    {
        epoll_event events[512];
        const int ready = epoll_wait(epoll, events, 512, timeoutMs);
        std::size_t frames = 0;
        for (int e = 0; e < ready; ++e)
        {
            const std::size_t index = events[e].data.u64;
            std::string& in = input[index];
            for (;;)
            {
                ssize_t n = 0;
                if (tls[index])
                {
                    n = SSL_read(tls[index], buffer, sizeof buffer);
                    if (n <= 0)
                    {
                        const int error = SSL_get_error(tls[index], static_cast<int>(n));
                        n = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? -1 : 0;
                        errno = EWOULDBLOCK;
                    }
                }
                else
                    n = recv(sockets[index], buffer, sizeof buffer, 0);
                if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK))
                {
                    open[index] = false;
                    epoll_ctl(epoll, EPOLL_CTL_DEL, sockets[index], nullptr);
                    closesocket(sockets[index]);
                    break;
                }
                if (n < 0)
                    break;
                in.append(buffer, static_cast<std::size_t>(n));
                // TLS may hold more already read from the socket: read until it says so.
                if (!tls[index] && n < static_cast<ssize_t>(sizeof buffer))
                    break;
            }
            std::size_t at = 0;
            while (in.size() - at >= 4)
            {
                const std::size_t length = (static_cast<unsigned char>(in[at]) << 8) |
                                           static_cast<unsigned char>(in[at + 1]);
                if (in.size() - at < 2 + length)
                    break;
                const auto type =
                    static_cast<oNet::PacketType>((static_cast<unsigned char>(in[at + 2]) << 8) |
                                                  static_cast<unsigned char>(in[at + 3]));
                const std::string_view text =
                    length >= 6 ? std::string_view(in).substr(at + 8, length - 6) : "";
                onFrame(index, type, text);
                ++frames;
                at += 2 + length;
            }
            in.erase(0, at);
        }
        return frames;
    }

    // Reads until nothing has come for quietMs.
    void Drain(int quietMs)
    {
        auto last = Clock::now();
        while (MsSince(last) < quietMs)
            if (Poll(5, [](std::size_t, oNet::PacketType, std::string_view) {}) > 0)
                last = Clock::now();
    }

private:
    int epoll;
    std::vector<SOCKET> sockets;
    std::vector<SSL*> tls;
    std::vector<std::string> input;
    std::vector<bool> open;
    char buffer[65536];
};

// The real ostrel-server (at path), started with the given options on a free loopback port,
// pinned to core 0, its log in a file. Stopped with SIGTERM when it goes.
class ServerProcess
{
public:
    ServerProcess(const std::string& path, const std::vector<std::string>& options)
    {
        char logTemplate[] = "/tmp/ostrel-bench-server-XXXXXX";
        const int logFd = mkstemp(logTemplate);
        logPath = logTemplate;
        std::vector<std::string> arguments = {path, "--port", "0"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, logFd, 1);
        if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        {
            std::cerr << "cannot start " << path << std::endl;
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(logFd);
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(0, &set);
        sched_setaffinity(pid, sizeof set, &set);
        clock_getcpuclockid(pid, &cpuClock);

        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (port == 0 && Clock::now() < deadline)
        {
            const std::string log = Log();
            const std::size_t at = log.find(" port ");
            if (at != std::string::npos && log.find(" for up to ") != std::string::npos)
                port = static_cast<std::uint16_t>(std::stoi(log.substr(at + 6)));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (port == 0)
        {
            std::cerr << "the server did not start: " << Log() << std::endl;
            std::exit(1);
        }
    }

    ~ServerProcess()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        unlink(logPath.c_str());
    }

    std::uint16_t Port() const { return port; }

    std::string Log() const
    {
        std::ifstream file(logPath);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // How many log lines hold the text.
    std::size_t LogCount(const std::string& text) const
    {
        const std::string log = Log();
        std::size_t count = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++count;
        return count;
    }

    // The server's CPU time so far, all its threads together.
    double CpuMs() const
    {
        timespec time{};
        clock_gettime(cpuClock, &time);
        return time.tv_sec * 1e3 + time.tv_nsec / 1e6;
    }

    // The CPU time so far of the thread that runs the event loop (the process's first thread),
    // which the kernel keeps in nanoseconds.
    double MainThreadCpuMs() const
    {
        std::ifstream schedstat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                                "/schedstat");
        unsigned long long ns = 0;
        schedstat >> ns;
        return ns / 1e6;
    }

    // Resident memory now, and at its highest, in bytes.
    std::size_t Rss() const { return StatusField("VmRSS:"); }
    std::size_t PeakRss() const { return StatusField("VmHWM:"); }

private:
    std::size_t StatusField(const std::string& name) const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind(name, 0) == 0)
                return std::stoull(line.substr(name.size())) * 1024;
        return 0;
    }

    pid_t pid = -1;
    clockid_t cpuClock{};
    std::string logPath;
    std::uint16_t port = 0;
};

// The kernel's TCP buffer memory in use on the whole machine, in bytes (both ends of loopback
// connections count).
inline std::size_t KernelTcpMemory()
{
    std::ifstream sockstat("/proc/net/sockstat");
    std::string word;
    while (sockstat >> word)
        if (word == "mem")
        {
            std::size_t pages = 0;
            sockstat >> pages;
            return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        }
    return 0;
}

// The kernel's slab memory (where socket, file and epoll structures live), in bytes.
inline std::size_t KernelSlabMemory()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string name;
    std::size_t kib = 0;
    std::string unit;
    while (meminfo >> name >> kib)
    {
        std::getline(meminfo, unit);
        if (name == "Slab:")
            return kib * 1024;
    }
    return 0;
}

// The value at the fraction p of the sorted samples.
inline double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, static_cast<std::size_t>(p * samples.size()))];
}

} // namespace bench
