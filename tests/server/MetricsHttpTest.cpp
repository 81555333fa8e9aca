// The metrics endpoint over real loopback connections, with the server's figures from a source
// the test controls: what each path answers, and how much slow and hostile clients can hold.

#include "server/metrics/MetricsHttp.h"
#include "support/RawConnection.h"
#include "support/Scrape.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

using namespace testing_support;
using namespace std::chrono_literals;

namespace
{

// An endpoint whose figures say what the test sets.
class Endpoint
{
public:
    explicit Endpoint(const HttpLimits& limits = {})
    {
        std::string error;
        http = MetricsHttp::Start(
            "127.0.0.1", 0,
            [this](std::chrono::milliseconds wait) -> std::optional<ServerFigures> {
                waited = wait.count();
                {
                    // Held while the test says so, at most as long as the loop would be waited
                    // for.
                    std::unique_lock<std::mutex> lock(holdMutex);
                    ++asked;
                    released.notify_all();
                    released.wait_for(lock, 10s, [this] { return !holding; });
                }
                if (!answering)
                    return std::nullopt;
                ServerFigures figures;
                figures.members = 4;
                figures.listening = listening;
                return figures;
            },
            error, limits);
        EXPECT_TRUE(http) << error;
    }

    std::uint16_t Port() const { return http->Port(); }

    std::unique_ptr<MetricsHttp> http;
    std::atomic<bool> answering{true};
    std::atomic<bool> listening{true};
    std::atomic<long long> waited{0};
    std::mutex holdMutex;
    std::condition_variable released;
    bool holding = false;
    int asked = 0;

    void Hold()
    {
        std::lock_guard<std::mutex> lock(holdMutex);
        holding = true;
    }
    // Whether the figures were asked for so many times in all, within the time.
    bool Asked(int times)
    {
        std::unique_lock<std::mutex> lock(holdMutex);
        return released.wait_for(lock, 5s, [&] { return asked >= times; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(holdMutex);
        holding = false;
        released.notify_all();
    }
};

// Sends without failing the test when the server has closed the connection already.
bool SendQuietly(RawConnection& connection, const std::string& bytes)
{
    return send(connection.Socket(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

} // namespace

TEST(MetricsHttp, ServesItsThreePathsOneRequestAConnectionAndNothingElse)
{
    Endpoint endpoint;
    const HttpAnswer metrics = HttpGet(endpoint.Port(), "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.head.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"),
              std::string::npos)
        << metrics.head;
    EXPECT_NE(metrics.head.find("Connection: close"), std::string::npos) << metrics.head;
    EXPECT_EQ(PromtoolProblems(metrics.body), "") << metrics.body;
    EXPECT_EQ(SampleValue(metrics.body, "ostrel_members"), 4);
    EXPECT_GT(SampleValue(metrics.body, "process_open_fds"), 2) << "from /proc";
    EXPECT_EQ(endpoint.waited, 1000) << "the loop is given a second to answer";

    EXPECT_EQ(HttpGet(endpoint.Port(), "/healthz").body, "ok\n");
    EXPECT_EQ(HttpGet(endpoint.Port(), "/readyz").body, "ready\n");
    for (const char* path : {"/", "/metrics/", "/nothing", "/healthz/x", "/../metrics"})
        EXPECT_EQ(HttpGet(endpoint.Port(), path).status, 404) << path;
    for (const char* method : {"POST", "PUT", "DELETE"})
        EXPECT_EQ(HttpGet(endpoint.Port(), "/metrics", 5000, method).status, 404) << method;

    endpoint.listening = false;
    const HttpAnswer unready = HttpGet(endpoint.Port(), "/readyz");
    EXPECT_EQ(unready.status, 503);
    EXPECT_EQ(unready.body, "not listening for clients\n");
    EXPECT_EQ(HttpGet(endpoint.Port(), "/healthz").status, 200) << "alive all the same";

    // A loop that does not answer: nothing is healthy, ready or reported.
    endpoint.answering = false;
    for (const char* path : {"/healthz", "/readyz", "/metrics"})
    {
        const HttpAnswer answer = HttpGet(endpoint.Port(), path);
        EXPECT_EQ(answer.status, 503) << path;
        EXPECT_EQ(answer.body, "the server's event loop did not answer within 1000 ms\n") << path;
    }
}

TEST(MetricsHttp, StalledClientsFarMoreThanTheWorkersHoldUpNobody)
{
    // Stalled clients would hold their places for far longer than the test runs; eight times as
    // many as there are workers, from ten addresses, the prober's own among them.
    HttpLimits limits;
    limits.silence = 60s;
    limits.requestTime = 60s;
    limits.workers = 4;
    Endpoint endpoint(limits);
    std::vector<std::unique_ptr<RawConnection>> stalled;
    for (int i = 0; i < 32; ++i)
    {
        const std::string from = "127.0.0." + std::to_string(1 + i % 10);
        auto client = std::make_unique<RawConnection>();
        ASSERT_TRUE(client->Connect("127.0.0.1", endpoint.Port(), from.c_str()));
        if (i % 3 == 1)
            client->Send("GET /metrics HTTP/1.1\r\n");
        else if (i % 3 == 2)
            client->Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Wait: ");
        stalled.push_back(std::move(client));
    }

    // Each answered well within what a stalled client could hold a worker for.
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(HttpGet(endpoint.Port(), "/healthz", 3000).status, 200) << "request " << i;

    // Stopping the endpoint ends their waits at once and closes them.
    endpoint.http.reset();
    for (auto& client : stalled)
        EXPECT_TRUE(client->SeesClose(1000));
}

TEST(MetricsHttp, OneAddressHoldsAFewPlacesAndItsOldestGivesWay)
{
    HttpLimits limits;
    limits.silence = 60s;
    limits.requestTime = 60s;
    limits.readingPerAddress = 3;
    limits.reading = 5;
    Endpoint endpoint(limits);
    RawConnection first, second, third, fourth;
    for (RawConnection* client : {&first, &second, &third})
    {
        ASSERT_TRUE(client->Connect("127.0.0.1", endpoint.Port(), "127.0.0.20"));
        client->Send("GET /metrics HTTP/1.1\r\n");
    }
    EXPECT_FALSE(first.SeesClose(200)) << "three places for the address";
    ASSERT_TRUE(fourth.Connect("127.0.0.1", endpoint.Port(), "127.0.0.20"));
    EXPECT_TRUE(first.SeesClose(2000)) << "the oldest of the address gives way";
    EXPECT_FALSE(second.SeesClose(200));

    // Five places in all: newcomers from elsewhere take the oldest of all.
    RawConnection others[3];
    for (RawConnection& other : others)
        ASSERT_TRUE(other.Connect("127.0.0.1", endpoint.Port(), "127.0.0.21"));
    EXPECT_TRUE(second.SeesClose(2000));
    // A whole request is served at once all the same; the one still waiting is untouched.
    fourth.Send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(AsString(fourth.ReceiveSome(5000)).find("200 OK"), std::string::npos);
    EXPECT_EQ(HttpGet(endpoint.Port(), "/healthz").status, 200);
}

TEST(MetricsHttp, EveryConnectionEndsWithinItsTimeAndItsBytes)
{
    HttpLimits limits;
    limits.silence = 300ms;
    limits.requestTime = 1000ms;
    limits.requestBytes = 2048;
    limits.workers = 4;
    Endpoint endpoint(limits);

    // Silent for longer than the silence allows.
    RawConnection idle;
    ASSERT_TRUE(idle.Connect("127.0.0.1", endpoint.Port()));
    EXPECT_TRUE(idle.SeesClose(5000));

    // Never silent for long, but never done: its time runs out. It would drip for 5 s.
    RawConnection dripping;
    ASSERT_TRUE(dripping.Connect("127.0.0.1", endpoint.Port()));
    dripping.Send("GET /metrics HTTP/1.1\r\nX-Drip: ");
    bool closed = false;
    for (int i = 0; i < 50 && !closed; ++i)
        closed = !SendQuietly(dripping, "a") || dripping.SeesClose(100);
    EXPECT_TRUE(closed);

    // More than a request may hold: cut off, unanswered.
    RawConnection flooding;
    ASSERT_TRUE(flooding.Connect("127.0.0.1", endpoint.Port()));
    SendQuietly(flooding, "GET /metrics HTTP/1.1\r\n");
    for (int i = 0; i < 16 && SendQuietly(flooding, "X-Fill: " + std::string(1000, 'a') + "\r\n");)
        ++i;
    const std::string answer = AsString(flooding.ReceiveSome(5000));
    EXPECT_EQ(answer.find("200 OK"), std::string::npos) << answer;
    EXPECT_TRUE(flooding.SeesClose(5000));

    EXPECT_EQ(HttpGet(endpoint.Port(), "/healthz").status, 200) << "the others are served";
}

TEST(MetricsHttp, WholeRequestsBeyondTheWorkersAndTheirLineAreToldTheEndpointIsBusy)
{
    HttpLimits limits;
    limits.workers = 1;
    limits.waiting = 1;
    Endpoint endpoint(limits);
    endpoint.Hold();
    const std::string request = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
    RawConnection served, waiting, refused;
    ASSERT_TRUE(served.Connect("127.0.0.1", endpoint.Port()));
    served.Send(request);
    ASSERT_TRUE(endpoint.Asked(1)) << "the one worker is busy with it";
    ASSERT_TRUE(waiting.Connect("127.0.0.1", endpoint.Port()));
    waiting.Send(request);
    ASSERT_TRUE(refused.Connect("127.0.0.1", endpoint.Port()));
    refused.Send(request);
    const std::string busy = AsString(refused.ReceiveSome(5000));
    EXPECT_EQ(busy.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << busy;
    EXPECT_NE(busy.find("\r\n\r\nevery worker is busy: try again later\n"), std::string::npos)
        << busy;
    EXPECT_TRUE(refused.SeesClose());

    endpoint.Release();
    EXPECT_NE(AsString(served.ReceiveSome(5000)).find("200 OK"), std::string::npos);
    EXPECT_NE(AsString(waiting.ReceiveSome(5000)).find("200 OK"), std::string::npos);
}

TEST(MetricsHttp, APortInUseIsRefusedRatherThanShared)
{
    Endpoint first;
    std::string error;
    const auto second = MetricsHttp::Start(
        "127.0.0.1", first.Port(), [](std::chrono::milliseconds) { return ServerFigures{}; },
        error);
    EXPECT_FALSE(second);
    EXPECT_EQ(error, "cannot serve metrics on 127.0.0.1:" + std::to_string(first.Port()) +
                         ": Address already in use");
    EXPECT_EQ(HttpGet(first.Port(), "/healthz").status, 200);
}
