// The server's figures as Prometheus reads them, checked by Prometheus's own promtool, and as
// the operator's stats show them.

#include "server/metrics/MetricsText.h"
#include "support/Scrape.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace testing_support;
using namespace std::chrono_literals;

namespace
{

ServerFigures Busy()
{
    ServerFigures figures;
    figures.counters.lines = 7;
    figures.counters.deliveries = 42;
    for (const auto time : {5us, 30us, 2000us, 3'000'000us})
        figures.counters.broadcast.Observe(time);
    figures.counters.CountDeparture(LeaveReason::Left);
    figures.counters.CountDeparture(LeaveReason::Left);
    figures.counters.CountDeparture(LeaveReason::TooSlow);
    figures.counters.CountDeparture(LeaveReason::TurnedAway);
    figures.counters.tlsHandshakes = 3;
    figures.counters.tlsHandshakesFailed = 1;
    figures.members = 2;
    figures.connections = 3;
    figures.bans = 1;
    figures.listening = true;
    figures.tls = TlsFigures{1'800'000'000};
    figures.engine = EngineFigures{true, 12, 2, 1};
    return figures;
}

const ProcessFigures Process{1048576, 12, 1.5, 1'700'000'000.25};

} // namespace

TEST(MetricsText, EverySectionPassesPromtoolAndWhatTheServerLacksIsLeftOut)
{
    const std::string text = PrometheusText(Busy(), Process);
    EXPECT_EQ(PromtoolProblems(text), "") << text;

    const struct
    {
        std::string sample;
        double value;
    } expected[] = {
        {"ostrel_members", 2},
        {"ostrel_connections", 3},
        {"ostrel_lines_total", 7},
        {"ostrel_deliveries_total", 42},
        {"ostrel_disconnects_total{reason=\"left\"}", 2},
        {"ostrel_disconnects_total{reason=\"flooding\"}", 0},
        {"ostrel_disconnects_total{reason=\"too_slow\"}", 1},
        {"ostrel_disconnects_total{reason=\"timeout\"}", 0},
        {"ostrel_disconnects_total{reason=\"bad_input\"}", 0},
        {"ostrel_disconnects_total{reason=\"kicked\"}", 0},
        {"ostrel_disconnects_total{reason=\"banned\"}", 0},
        {"ostrel_disconnects_total{reason=\"turned_away\"}", 1},
        {"ostrel_broadcast_seconds_bucket{le=\"1e-05\"}", 1},
        {"ostrel_broadcast_seconds_bucket{le=\"2.5e-05\"}", 1},
        {"ostrel_broadcast_seconds_bucket{le=\"5e-05\"}", 2},
        {"ostrel_broadcast_seconds_bucket{le=\"0.0025\"}", 3},
        {"ostrel_broadcast_seconds_bucket{le=\"1\"}", 3},
        {"ostrel_broadcast_seconds_bucket{le=\"+Inf\"}", 4},
        {"ostrel_broadcast_seconds_count", 4},
        {"ostrel_broadcast_seconds_sum", 3.002035},
        {"ostrel_bans", 1},
        {"ostrel_tls_handshakes_total{result=\"ok\"}", 3},
        {"ostrel_tls_handshakes_total{result=\"failed\"}", 1},
        {"ostrel_tls_certificate_expiry_timestamp_seconds", 1'800'000'000},
        {"ostrel_engine_up", 1},
        {"ostrel_engine_lag_entries", 12},
        {"ostrel_engine_reconnects_total", 2},
        {"ostrel_engine_gaps_total", 1},
        {"process_resident_memory_bytes", 1048576},
        {"process_open_fds", 12},
        {"process_cpu_seconds_total", 1.5},
        {"process_start_time_seconds", 1'700'000'000.25},
        {std::string("ostrel_build_info{version=\"") + ServerVersion() + "\"}", 1},
    };
    for (const auto& sample : expected)
        EXPECT_DOUBLE_EQ(SampleValue(text, sample.sample), sample.value) << sample.sample;

    // Without TLS, a room across servers, or the system's figures (Windows).
    ServerFigures plain;
    plain.listening = true;
    const std::string bare = PrometheusText(plain, std::nullopt);
    EXPECT_EQ(PromtoolProblems(bare), "") << bare;
    EXPECT_EQ(SampleValue(bare, "ostrel_lines_total"), 0);
    for (const char* absent : {"ostrel_tls_", "ostrel_engine_", "process_"})
        EXPECT_EQ(bare.find(absent), std::string::npos) << absent;
}

TEST(MetricsText, StatsShowTheSameFiguresToTheOperator)
{
    const ServerFigures figures = Busy();
    const std::time_t now = 1'800'000'000 - 13 * 86400 - 43200; // 13.5 days before expiry
    const std::string text = StatsText(figures, Process, now);
    for (const char* line : {"members 2, connections 3, bans 1\n", "lines 7, deliveries 42\n",
                             "disconnects: left 2, flooding 0, too_slow 1, timeout 0, bad_input 0, "
                             "kicked 0, banned 0, turned_away 1\n",
                             "99% within more than 1 s\n",
                             "TLS: 3 handshakes, 1 failed; the certificate expires in 13.5 days\n",
                             "engine: up, 12 entries behind, 2 reconnects, 1 gaps\n",
                             "process: 1.0 MiB resident, 12 open files, 1.5 s of CPU"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_NE(text.find("ready, version " + std::string(ServerVersion())), std::string::npos)
        << text;
}

TEST(ServerFigures, NotReadyNamesWhatIsMissing)
{
    ServerFigures ready = Busy();
    EXPECT_EQ(NotReadyReason(ready), "");
    ServerFigures closed = ready;
    closed.listening = false;
    EXPECT_EQ(NotReadyReason(closed), "not listening for clients");
    ServerFigures noCertificate = ready;
    noCertificate.tls->certificateNotAfter = 0;
    EXPECT_EQ(NotReadyReason(noCertificate), "no usable TLS certificate");
    ServerFigures engineDown = ready;
    engineDown.engine->up = false;
    EXPECT_EQ(NotReadyReason(engineDown), "not connected to the engine that carries the room");
}
