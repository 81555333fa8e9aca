// Throughput and latency of the chat server with many clients on loopback, side by side with a
// plain reference that moves the same bytes over the same number of loopback connections
// without a server. The server runs on one thread pinned to one core; the clients (and the
// reference's reader) on another.
//
//   server_benchmark [--clients N] [--lines M] [--rate LINES_PER_SECOND]
//   server_benchmark --metrics PAIRS [--clients N] [--lines M] [--rate LINES_PER_SECOND]
//
// With --metrics, the same server with its metrics endpoint on and scraped every second,
// against the server without it, the two runs of each pair one after the other (interleaved, as
// the machine's speed drifts).

#include "bench/Loopback.h"
#include "bench/ServerBenchSupport.h"
#include "net/Packet.h"
#include "server/ChatServer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace
{

using bench::Clock;
using bench::NowNs;
using bench::PinToCore;
using bench::SendAll;

struct Settings
{
    int clients = 100;
    int lines = 100;      // per client
    double rate = 10000;  // lines per second in the paced runs (each is delivered to every client)
    int metricsPairs = 0; // with the metrics endpoint against without, this many pairs of runs
};

struct Result
{
    double seconds = 0;
    std::size_t deliveries = 0;
    std::vector<double> latenciesMs;
    double serverCpuSeconds = 0; // the server's thread, where it is measured

    // The server thread's own time per delivery: what other work on the machine changes least.
    double ServerNsPerDelivery() const { return serverCpuSeconds * 1e9 / deliveries; }

    double PerSecond() const { return deliveries / seconds; }
    double Percentile(double p) const { return bench::Percentile(latenciesMs, p); }
};

// A chat line that carries its send time: "[12:00:00] [bK]: <nanoseconds>".
std::string LineFrame(int client, std::int64_t sentNs)
{
    return oNet::WireFrame(*ChatProtocol::MakeTextPacket(oNet::PacketType::ChatMessage,
                                                         "[12:00:00] [b" + std::to_string(client) +
                                                             "]: " + std::to_string(sentNs)));
}

// The receiving side of every run is a bench::Crowd: one socket per client, frames parsed as they
// come, each chat line whose text ends in a send time counted as one delivery with its latency.
std::unique_ptr<bench::Crowd> ReceiversOf(const std::vector<SOCKET>& sockets)
{
    auto crowd = std::make_unique<bench::Crowd>();
    for (SOCKET s : sockets)
        crowd->Add(s);
    return crowd;
}

// Calls onLine(client index, text) for each chat line that has come, waiting up to timeoutMs.
template <typename OnLine> void PollLines(bench::Crowd& crowd, int timeoutMs, OnLine&& onLine)
{
    crowd.Poll(timeoutMs, [&](std::size_t index, oNet::PacketType type, std::string_view text) {
        if (type == oNet::PacketType::ChatMessage)
            onLine(index, text);
    });
}

// Whether the text is one of ours, and its send time.
bool SendTimeOf(std::string_view text, std::int64_t& sentNs)
{
    const std::size_t at = text.rfind(": ");
    if (at == std::string_view::npos || text.size() - at < 3)
        return false;
    sentNs = 0;
    for (char c : text.substr(at + 2))
    {
        if (c < '0' || c > '9')
            return false;
        sentNs = sentNs * 10 + (c - '0');
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Through the server.

class ServerRun
{
public:
    // withMetrics: the metrics endpoint on loopback, scraped every second while the run lasts.
    explicit ServerRun(const Settings& settings, bool withMetrics = false)
        : settings(settings), server(Options(settings, withMetrics), quiet)
    {
        std::string error;
        if (!server.Start(error))
        {
            std::cerr << error << std::endl;
            std::exit(1);
        }
        if (withMetrics)
            scraper = std::thread([this] { Scrape(); });
        thread = std::thread([this] {
            PinToCore(0);
            pthread_setname_np(pthread_self(), "chat-server");
            server.Run();
        });
        pthread_getcpuclockid(thread.native_handle(), &serverClock);
        std::vector<SOCKET> sockets;
        for (int i = 0; i < settings.clients; ++i)
        {
            sockets.push_back(QuickLoopbackConnection(server.Port()));
            SendAll(sockets.back(), oNet::WireFrame(*ChatProtocol::MakeTextPacket(
                                        oNet::PacketType::Nickname, "b" + std::to_string(i))));
        }
        clients = sockets;
        receivers = ReceiversOf(sockets);
        receivers->Drain(300);
    }

    ~ServerRun()
    {
        if (scraper.joinable())
        {
            scraping = false;
            scraper.join();
        }
        server.Stop();
        thread.join();
        // The clients' sockets go with the receivers.
    }

    // Scrapes that returned the figures so far.
    int Scrapes() const { return scrapes; }

    // The server thread's own time to take its figures for a scrape, in microseconds: the mean of
    // many asks while the room is quiet.
    double LoopMicrosecondsPerAsk(int asks)
    {
        const double before = ServerCpuSeconds();
        for (int i = 0; i < asks; ++i)
            server.AskFigures(std::chrono::seconds(1));
        return (ServerCpuSeconds() - before) * 1e6 / asks;
    }

    // The CPU time the server's thread has used.
    double ServerCpuSeconds() const
    {
        timespec used{};
        clock_gettime(serverClock, &used);
        return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
    }

    // Every client keeps up to `window` of its own lines on the way; as fast as that goes.
    Result Saturate(int window)
    {
        std::vector<int> sent(clients.size(), 0), echoed(clients.size(), 0);
        const std::size_t expected =
            static_cast<std::size_t>(settings.clients) * settings.lines * settings.clients;
        Result result;
        const auto start = Clock::now();
        while (result.deliveries < expected)
        {
            for (std::size_t c = 0; c < clients.size(); ++c)
                while (sent[c] < settings.lines && sent[c] - echoed[c] < window)
                {
                    SendAll(clients[c], LineFrame(static_cast<int>(c), NowNs()));
                    ++sent[c];
                }
            PollLines(*receivers, 1, [&](std::size_t receiver, std::string_view text) {
                std::int64_t sentNs;
                if (!SendTimeOf(text, sentNs))
                    return;
                ++result.deliveries;
                result.latenciesMs.push_back((NowNs() - sentNs) / 1e6);
                // A client's own line came back: one more of its lines may go.
                const std::string_view name = text.substr(12, text.find(']', 12) - 12);
                if (name == "b" + std::to_string(receiver))
                    ++echoed[receiver];
            });
        }
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return result;
    }

    // Lines go out at a fixed total rate, each from its client, the clients in turn.
    Result Paced()
    {
        const std::size_t total = static_cast<std::size_t>(settings.clients) * settings.lines;
        const std::size_t expected = total * settings.clients;
        Result result;
        result.latenciesMs.reserve(expected);
        std::size_t next = 0;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::duration<double>(total / settings.rate + 30);
        while (result.deliveries < expected && Clock::now() < deadline)
        {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const std::size_t due =
                std::min(total, static_cast<std::size_t>(elapsed * settings.rate) + 1);
            for (; next < due; ++next)
            {
                const int client = static_cast<int>(next % settings.clients);
                SendAll(clients[client], LineFrame(client, NowNs()));
            }
            PollLines(*receivers, 0, [&](std::size_t, std::string_view text) {
                std::int64_t sentNs;
                if (!SendTimeOf(text, sentNs))
                    return;
                ++result.deliveries;
                result.latenciesMs.push_back((NowNs() - sentNs) / 1e6);
            });
        }
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return result;
    }

private:
    // As Prometheus does: GET /metrics every second, one connection each, read to the end.
    void Scrape()
    {
        PinToCore(1);
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        for (auto next = Clock::now(); scraping; next += std::chrono::seconds(1))
        {
            while (scraping && Clock::now() < next)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!scraping)
                return;
            const SOCKET s = ConnectToLoopback(server.MetricsPort());
            SendAll(s, request);
            std::string answer;
            char chunk[16384];
            for (int n; (n = recv(s, chunk, sizeof chunk, 0)) > 0;)
                answer.append(chunk, static_cast<std::size_t>(n));
            closesocket(s);
            if (answer.rfind("HTTP/1.1 200", 0) == 0 &&
                answer.find("ostrel_lines_total") != std::string::npos)
                ++scrapes;
        }
    }

    static ServerOptions Options(const Settings& settings, bool withMetrics)
    {
        ServerOptions options;
        options.port = 0;
        if (withMetrics)
            options.metricsHost = "127.0.0.1";
        options.maxClients = static_cast<std::size_t>(settings.clients) + 8;
        // Every client sends as fast as it may, all from one address.
        options.lineRate = 0;
        options.maxPerAddress = 0;
        return options;
    }

    Settings settings;
    std::ostringstream quiet;
    ChatServer server;
    std::thread thread;
    std::vector<SOCKET> clients;
    std::unique_ptr<bench::Crowd> receivers;
    clockid_t serverClock{};
    std::atomic<bool> scraping{true};
    std::atomic<int> scrapes{0};
    std::thread scraper;
};

// ---------------------------------------------------------------------------------------------
// The reference: the same frames written straight into as many loopback connections, from a
// writer pinned where the server was, to the same receivers. No server in between.

class ReferenceRun
{
public:
    explicit ReferenceRun(const Settings& settings) : settings(settings)
    {
        std::uint16_t port = 0;
        const SOCKET listener = ListenOnLoopback(port);
        std::vector<SOCKET> readers;
        for (int i = 0; i < settings.clients; ++i)
        {
            readers.push_back(QuickLoopbackConnection(port));
            SOCKET w = accept(listener, nullptr, nullptr);
            const int noDelay = 1;
            setsockopt(w, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                       sizeof noDelay);
            writers.push_back(w);
        }
        closesocket(listener);
        receivers = ReceiversOf(readers);
    }

    ~ReferenceRun()
    {
        // The readers' sockets go with the receivers.
        for (SOCKET s : writers)
            closesocket(s);
    }

    // The writer sends every line to every connection as fast as the connections take it, in
    // batches of lines joined into one write, as a server that keeps up writes them.
    Result Saturate()
    {
        const std::size_t expected =
            static_cast<std::size_t>(settings.clients) * settings.lines * settings.clients;
        Result result;
        const auto start = Clock::now();
        std::thread writer([&] {
            PinToCore(0);
            const int total = settings.clients * settings.lines;
            for (int line = 0; line < total;)
            {
                std::string batch;
                for (int end = std::min(total, line + 64); line < end; ++line)
                    batch += LineFrame(line % settings.clients, NowNs());
                for (SOCKET s : writers)
                    SendAll(s, batch);
            }
        });
        while (result.deliveries < expected)
            PollLines(*receivers, 1, [&](std::size_t, std::string_view text) {
                std::int64_t sentNs;
                if (SendTimeOf(text, sentNs))
                {
                    ++result.deliveries;
                    result.latenciesMs.push_back((NowNs() - sentNs) / 1e6);
                }
            });
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        writer.join();
        return result;
    }

    // The writer, pinned where the server ran, sends at the paced runs' rate: whatever lines
    // have come due go out together to every connection.
    Result Paced()
    {
        const int total = settings.clients * settings.lines;
        const std::size_t expected = static_cast<std::size_t>(total) * settings.clients;
        Result result;
        result.latenciesMs.reserve(expected);
        const auto start = Clock::now();
        std::thread writer([&] {
            PinToCore(0);
            for (int line = 0; line < total;)
            {
                const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
                const int due = std::min(total, static_cast<int>(elapsed * settings.rate) + 1);
                if (due == line)
                {
                    std::this_thread::yield();
                    continue;
                }
                std::string batch;
                for (; line < due; ++line)
                    batch += LineFrame(line % settings.clients, NowNs());
                for (SOCKET s : writers)
                    SendAll(s, batch);
            }
        });
        while (result.deliveries < expected)
            PollLines(*receivers, 1, [&](std::size_t, std::string_view text) {
                std::int64_t sentNs;
                if (SendTimeOf(text, sentNs))
                {
                    ++result.deliveries;
                    result.latenciesMs.push_back((NowNs() - sentNs) / 1e6);
                }
            });
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        writer.join();
        return result;
    }

private:
    Settings settings;
    std::vector<SOCKET> writers;
    std::unique_ptr<bench::Crowd> receivers;
};

void Report(const std::string& name, Result& server, Result& reference)
{
    std::cout << std::fixed << std::setprecision(0);
    std::cout << "| " << name << " | " << server.PerSecond() << " | " << reference.PerSecond()
              << " | " << std::setprecision(2) << server.PerSecond() / reference.PerSecond()
              << " | " << std::setprecision(3) << server.Percentile(0.5) << " / "
              << server.Percentile(0.99) << " | " << reference.Percentile(0.5) << " / "
              << reference.Percentile(0.99) << " |" << std::endl;
}

// The server with its metrics endpoint scraped every second against the same server without,
// in pairs of runs one after the other, each run a new server and new clients.
void CompareMetrics(const Settings& settings)
{
    {
        ServerRun quiet(settings, true);
        std::cout << std::fixed << std::setprecision(2)
                  << "the server thread's own time to take the figures for one scrape, "
                  << settings.clients << " members: " << quiet.LoopMicrosecondsPerAsk(10000)
                  << " us" << std::endl;
    }
    std::cout
        << "| pair | run | deliveries/s without metrics | with, scraped every second | ratio | "
           "server thread's ns a delivery without | with | ratio | p50 / p99 ms without | with | "
           "scrapes |"
        << std::endl;
    std::cout << "|---|---|---|---|---|---|---|---|---|---|---|" << std::endl;
    for (int pair = 1; pair <= settings.metricsPairs; ++pair)
    {
        Result plain[2], scraped[2];
        int scrapes[2] = {};
        // Which goes first alternates, so that neither always has the machine's better half.
        for (int turn = 0; turn < 2; ++turn)
        {
            const bool withMetrics = (turn == 0) == (pair % 2 == 0);
            ServerRun run(settings, withMetrics);
            Result* into = withMetrics ? scraped : plain;
            double before = run.ServerCpuSeconds();
            into[0] = run.Saturate(8);
            into[0].serverCpuSeconds = run.ServerCpuSeconds() - before;
            before = run.ServerCpuSeconds();
            into[1] = run.Paced();
            into[1].serverCpuSeconds = run.ServerCpuSeconds() - before;
            if (withMetrics)
                scrapes[0] = run.Scrapes();
        }
        const char* names[2] = {"as fast as it goes", "paced"};
        for (int kind = 0; kind < 2; ++kind)
        {
            std::cout << std::fixed << std::setprecision(0) << "| " << pair << " | " << names[kind]
                      << " | " << plain[kind].PerSecond() << " | " << scraped[kind].PerSecond()
                      << " | " << std::setprecision(3)
                      << scraped[kind].PerSecond() / plain[kind].PerSecond() << " | "
                      << plain[kind].ServerNsPerDelivery() << " | "
                      << scraped[kind].ServerNsPerDelivery() << " | "
                      << scraped[kind].ServerNsPerDelivery() / plain[kind].ServerNsPerDelivery()
                      << " | " << plain[kind].Percentile(0.5) << " / "
                      << plain[kind].Percentile(0.99) << " | " << scraped[kind].Percentile(0.5)
                      << " / " << scraped[kind].Percentile(0.99) << " | "
                      << (kind == 0 ? std::to_string(scrapes[0]) : "") << " |" << std::endl;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string name = argv[i];
        if (name == "--clients")
            settings.clients = std::stoi(argv[i + 1]);
        else if (name == "--lines")
            settings.lines = std::stoi(argv[i + 1]);
        else if (name == "--rate")
            settings.rate = std::stod(argv[i + 1]);
        else if (name == "--metrics")
            settings.metricsPairs = std::stoi(argv[i + 1]);
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    PinToCore(1);
    if (settings.metricsPairs > 0)
    {
        std::cout << "clients: " << settings.clients << ", lines per client: " << settings.lines
                  << ", paced rate: " << settings.rate << " lines/s; the metrics endpoint "
                  << "scraped every second, against none" << std::endl;
        CompareMetrics(settings);
        return 0;
    }

    std::cout << "clients: " << settings.clients << ", lines per client: " << settings.lines
              << ", deliveries per run: "
              << static_cast<long long>(settings.clients) * settings.lines * settings.clients
              << ", paced rate: " << settings.rate << " lines/s ("
              << settings.rate * settings.clients << " deliveries/s)" << std::endl;
    std::cout
        << "| run | server deliveries/s | reference deliveries/s | ratio | server p50 / p99 ms | "
           "reference p50 / p99 ms |"
        << std::endl;
    std::cout << "|---|---|---|---|---|---|" << std::endl;

    Result serverSaturated, serverPaced, referenceSaturated, referencePaced;
    {
        ServerRun run(settings);
        serverSaturated = run.Saturate(8);
        serverPaced = run.Paced();
    }
    {
        ReferenceRun run(settings);
        referenceSaturated = run.Saturate();
        referencePaced = run.Paced();
    }
    Report("as fast as it goes", serverSaturated, referenceSaturated);
    Report("paced", serverPaced, referencePaced);
    return 0;
}
