#include "support/LoopbackRelay.h"

#include "net/SocketAddress.h"

#include <gtest/gtest.h>

#include <chrono>

namespace testing_support
{

LoopbackRelay::LoopbackRelay(const char* serverAddress, std::uint16_t serverPort)
    : serverAddress(serverAddress), serverPort(serverPort)
{
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage local;
    socklen_t length = oNet::SocketAddressOf(oNet::Endpoint("127.0.0.1", 0), local);
    if (bind(listener, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
        listen(listener, 4) != 0)
    {
        ADD_FAILURE() << "the relay cannot listen: " << WSAGetLastError();
        return;
    }
    getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port);
    thread = std::thread([this] { Run(); });
}

LoopbackRelay::~LoopbackRelay()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    Close();
    closesocket(listener);
}

void LoopbackRelay::Cut()
{
    const int asked = ++cutsAsked;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (cutsDone < asked && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(cutsDone, asked) << "the relay did not cut the connection";
}

void LoopbackRelay::Close()
{
    if (client != INVALID_SOCKET)
        closesocket(client);
    if (server != INVALID_SOCKET)
        closesocket(server);
    client = server = INVALID_SOCKET;
    holding = false;
}

// Moves what one end has sent to the other, or, held back, nowhere. False when either end has
// closed or failed.
bool LoopbackRelay::Forward(SOCKET from, SOCKET to, bool hold)
{
    char chunk[16384];
    const int received = recv(from, chunk, sizeof chunk, 0);
    if (received <= 0)
        return false;
    if (hold)
        return true;
    for (int sent = 0; sent < received;)
    {
        const int n = send(to, chunk + sent, received - sent, 0);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

void LoopbackRelay::Run()
{
    while (!stopping)
    {
        if (cutsDone < cutsAsked)
        {
            Close();
            ++cutsDone;
        }
        WSAPOLLFD records[3] = {};
        records[0].fd = listener;
        records[1].fd = client;
        records[2].fd = server;
        for (WSAPOLLFD& record : records)
            record.events = POLLRDNORM;
        const unsigned long count = client == INVALID_SOCKET ? 1 : 3;
        if (WSAPoll(records, count, 5) <= 0)
            continue;
        if (count == 3 && records[1].revents != 0 && !Forward(client, server, false))
            Close();
        if (count == 3 && server != INVALID_SOCKET && records[2].revents != 0 &&
            !Forward(server, client, holding))
            Close();
        if (records[0].revents != 0)
        {
            // One connection at a time: a new one takes the place of the one before.
            Close();
            client = accept(listener, nullptr, nullptr);
            server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_storage remote;
            const int length =
                oNet::SocketAddressOf(oNet::Endpoint(serverAddress.c_str(), serverPort), remote);
            if (connect(server, reinterpret_cast<sockaddr*>(&remote), length) != 0)
                Close();
            ++accepted;
        }
    }
}

} // namespace testing_support
