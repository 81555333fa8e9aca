// The client's frame loop receiving chat-line frames from a loopback peer as fast as it can,
// against a plain loop of recv calls that reads the same frames the same way (the 2 length
// bytes, then the body) and against a bulk recv loop that moves the same bytes in large reads,
// the physical limit. A fourth loop makes the same reads each after a poll, as the frame loop's
// passes do, to show what the library adds beyond its system calls.

#include "bench/Loopback.h"
#include "bench/RatioReporter.h"
#include "common/ChatProtocol.h"
#include "net/Client.h"

#include <atomic>
#include <thread>

namespace
{

const std::string frame = oNet::WireFrame(*ChatProtocol::MakeTextPacket(
    oNet::PacketType::ChatMessage, "[12:34:56] [Alice]: see you at the station at nine"));
constexpr int FramesPerIteration = 1000;

// A listening peer that, once connected, writes chat-line frames without pause until stopped.
class Firehose
{
public:
    Firehose()
    {
        listener = ListenOnLoopback(port, 1);
        writer = std::thread([this] {
            const SOCKET connection = accept(listener, nullptr, nullptr);
            std::string block;
            while (block.size() < 65536)
                block += frame;
            while (!stop)
            {
                if (send(connection, block.data(), static_cast<int>(block.size()), 0) <= 0)
                    break;
            }
            closesocket(connection);
        });
    }
    ~Firehose()
    {
        stop = true;
        closesocket(listener);
        writer.join();
    }

    std::uint16_t port = 0;

private:
    SOCKET listener = INVALID_SOCKET;
    std::atomic<bool> stop{false};
    std::thread writer;
};

class CountingClient : public oNet::Client
{
public:
    bool ProcessPacket(std::shared_ptr<oNet::Packet>) override
    {
        ++packets;
        return true;
    }
    void OnConnect() override {}
    long long packets = 0;
};

bool ReceiveExactly(SOCKET s, char* into, int count)
{
    for (int got = 0; got < count;)
    {
        const int n = recv(s, into + got, count - got, 0);
        if (n <= 0)
            return false;
        got += n;
    }
    return true;
}

void ClientFrame(benchmark::State& state)
{
    Firehose peer;
    CountingClient client;
    client.Connect(oNet::Endpoint("127.0.0.1", peer.port));
    for (auto _ : state)
    {
        const long long target = client.packets + FramesPerIteration;
        while (client.packets < target && client.IsConnected())
            client.Frame();
    }
    state.SetItemsProcessed(state.iterations() * FramesPerIteration);
    client.Disconnect("done");
}

// Reads frames the way the frame loop does, 2 length bytes then the body, with plain blocking
// recv calls; with pollFirst, each read comes after a poll of the socket, as every pass of the
// frame loop makes one.
void ReceiveSameWay(benchmark::State& state, bool pollFirst)
{
    Firehose peer;
    const SOCKET s = ConnectToLoopback(peer.port);
    const auto receive = [s, pollFirst](char* into, int count) {
        if (pollFirst)
        {
            WSAPOLLFD record = {};
            record.fd = s;
            record.events = POLLRDNORM;
            WSAPoll(&record, 1, 1);
        }
        return ReceiveExactly(s, into, count);
    };
    char body[oNet::MaxPacketSize];
    for (auto _ : state)
    {
        for (int i = 0; i < FramesPerIteration; ++i)
        {
            unsigned char prefix[2];
            receive(reinterpret_cast<char*>(prefix), 2);
            receive(body, (prefix[0] << 8) | prefix[1]);
            benchmark::DoNotOptimize(body);
        }
    }
    state.SetItemsProcessed(state.iterations() * FramesPerIteration);
    closesocket(s);
}

void RecvSameWay(benchmark::State& state)
{
    ReceiveSameWay(state, false);
}

// The system calls the frame loop cannot do without, and nothing else.
void PollAndRecvSameWay(benchmark::State& state)
{
    ReceiveSameWay(state, true);
}

void RecvBulk(benchmark::State& state)
{
    Firehose peer;
    const SOCKET s = ConnectToLoopback(peer.port);
    std::vector<char> buffer(1 << 16);
    const long long bytesPerIteration = static_cast<long long>(frame.size()) * FramesPerIteration;
    for (auto _ : state)
    {
        for (long long got = 0; got < bytesPerIteration;)
        {
            const int n = recv(
                s, buffer.data(),
                static_cast<int>(std::min<long long>(buffer.size(), bytesPerIteration - got)), 0);
            if (n <= 0)
                break;
            got += n;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetItemsProcessed(state.iterations() * FramesPerIteration);
    closesocket(s);
}

BENCHMARK(ClientFrame)->UseRealTime();
BENCHMARK(RecvSameWay)->UseRealTime();
BENCHMARK(PollAndRecvSameWay)->UseRealTime();
BENCHMARK(RecvBulk)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    for (const char* name : {"ClientFrame", "RecvSameWay", "PollAndRecvSameWay", "RecvBulk"})
    {
        if (!reporter.Ran(name))
        {
            benchmark::Shutdown();
            return 0; // a filtered run: no side-by-side table
        }
    }
    const double frame = reporter.Counter("ClientFrame", "items_per_second");
    const double sameWay = reporter.Counter("RecvSameWay", "items_per_second");
    const double polled = reporter.Counter("PollAndRecvSameWay", "items_per_second");
    const double bulk = reporter.Counter("RecvBulk", "items_per_second");
    std::cout << "\n| receiver | frames/s | share of the same-way loop | share of bulk "
                 "|\n|---|---|---|---|\n";
    const auto row = [&](const char* name, double rate) {
        std::cout << "| " << name << " | " << std::fixed << std::setprecision(0) << rate << " | "
                  << std::setprecision(2) << rate / sameWay << " | " << rate / bulk << " |\n";
    };
    row("Client::Frame", frame);
    row("recv loop, length then body", sameWay);
    row("the same with a poll before each recv", polled);
    row("bulk recv", bulk);
    std::cout << "Client::Frame against the polled loop: " << std::setprecision(2) << frame / polled
              << std::endl;
    benchmark::Shutdown();
    return 0;
}
