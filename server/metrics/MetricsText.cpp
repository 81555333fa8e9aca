#include "server/metrics/MetricsText.h"

#include <charconv>
#include <sstream>

namespace
{

// A value in the shortest form that reads back as the same number.
std::string Number(double value)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general).ptr;
    return std::string(text, end);
}

std::string Number(std::uint64_t value)
{
    return std::to_string(value);
}

double Seconds(std::chrono::nanoseconds time)
{
    return static_cast<double>(time.count()) / 1e9;
}

// One metric family: its help and type lines, then its samples.
class Exposition
{
public:
    void Family(const std::string& name, const char* type, const char* help)
    {
        text << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    template <typename Value>
    void Sample(const std::string& name, const std::string& labels, Value value)
    {
        text << name << (labels.empty() ? "" : "{" + labels + "}") << ' ' << Number(value) << '\n';
    }
    template <typename Value>
    void One(const std::string& name, const char* type, const char* help, Value value)
    {
        Family(name, type, help);
        Sample(name, "", value);
    }
    std::string Text() const { return text.str(); }

private:
    std::ostringstream text;
};

void Histogram(Exposition& out, const std::string& name, const char* help,
               const LatencyHistogram& histogram)
{
    out.Family(name, "histogram", help);
    std::uint64_t below = 0;
    for (std::size_t i = 0; i < LatencyHistogram::BoundsNs.size(); ++i)
    {
        below += histogram.InBucket(i);
        out.Sample(name + "_bucket",
                   "le=\"" + Number(static_cast<double>(LatencyHistogram::BoundsNs[i]) / 1e9) +
                       "\"",
                   below);
    }
    out.Sample(name + "_bucket", "le=\"+Inf\"", histogram.Count());
    out.Sample(name + "_sum", "", Seconds(histogram.Sum()));
    out.Sample(name + "_count", "", histogram.Count());
}

// The smallest bucket bound that holds at least this share of the observations, in ms; negative
// when the share lies above the last bound.
double WithinMs(const LatencyHistogram& histogram, double share)
{
    std::uint64_t below = 0;
    for (std::size_t i = 0; i < LatencyHistogram::BoundsNs.size(); ++i)
    {
        below += histogram.InBucket(i);
        if (static_cast<double>(below) >= share * static_cast<double>(histogram.Count()))
            return static_cast<double>(LatencyHistogram::BoundsNs[i]) / 1e6;
    }
    return -1;
}

} // namespace

const char* ServerVersion()
{
    return OSTREL_SERVER_VERSION;
}

std::string PrometheusText(const ServerFigures& figures,
                           const std::optional<ProcessFigures>& process)
{
    const ServerCounters& counters = figures.counters;
    Exposition out;
    out.One("ostrel_members", "gauge", "Named members connected to this server.",
            std::uint64_t{figures.members});
    out.One("ostrel_connections", "gauge",
            "Open connections, named or not, those being closed included.",
            std::uint64_t{figures.connections});
    out.One("ostrel_lines_total", "counter", "Chat lines relayed to this server's members.",
            counters.lines);
    out.One("ostrel_deliveries_total", "counter", "Frames written out to connections.",
            counters.deliveries);
    out.Family("ostrel_disconnects_total", "counter",
               "Connections that left the room, or were turned away before it, by why.");
    for (std::size_t i = 0; i < ServerCounters::LeaveReasons; ++i)
        out.Sample("ostrel_disconnects_total",
                   std::string("reason=\"") + MetricLabel(static_cast<LeaveReason>(i)) + "\"",
                   counters.disconnects[i]);
    Histogram(out, "ostrel_broadcast_seconds",
              "Time from reading a chat line to queuing it for the last member.",
              counters.broadcast);
    out.One("ostrel_bans", "gauge", "Bans in force.", std::uint64_t{figures.bans});
    if (figures.tls)
    {
        out.Family("ostrel_tls_handshakes_total", "counter",
                   "TLS handshakes, by whether they completed or failed.");
        out.Sample("ostrel_tls_handshakes_total", "result=\"ok\"", counters.tlsHandshakes);
        out.Sample("ostrel_tls_handshakes_total", "result=\"failed\"",
                   counters.tlsHandshakesFailed);
        out.One("ostrel_tls_certificate_expiry_timestamp_seconds", "gauge",
                "When the server's TLS certificate expires, in seconds since 1970 (UTC).",
                static_cast<double>(figures.tls->certificateNotAfter));
    }
    if (figures.engine)
    {
        const EngineFigures& engine = *figures.engine;
        out.One("ostrel_engine_up", "gauge",
                "1 while the server is connected to the engine that carries the room, else 0.",
                std::uint64_t{engine.up ? 1u : 0u});
        out.One("ostrel_engine_lag_entries", "gauge",
                "Entries of the room written to the engine that this server has yet to read.",
                engine.lagEntries);
        out.One("ostrel_engine_reconnects_total", "counter",
                "Times the server connected to the engine again after losing it.",
                engine.reconnects);
        out.One("ostrel_engine_gaps_total", "counter",
                "Times entries of the room were lost before this server read them.", engine.gaps);
    }
    if (process)
    {
        out.One("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
                process->residentBytes);
        out.One("process_open_fds", "gauge", "Number of open file descriptors.",
                process->openFiles);
        out.One("process_cpu_seconds_total", "counter",
                "Total user and system CPU time spent in seconds.", process->cpuSeconds);
        out.One("process_start_time_seconds", "gauge",
                "Start time of the process since unix epoch in seconds.", process->startTime);
    }
    out.Family("ostrel_build_info", "gauge", "The server's version, in its label; always 1.");
    out.Sample("ostrel_build_info", std::string("version=\"") + ServerVersion() + "\"",
               std::uint64_t{1});
    return out.Text();
}

std::string StatsText(const ServerFigures& figures, const std::optional<ProcessFigures>& process,
                      std::time_t now)
{
    const ServerCounters& counters = figures.counters;
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(1);
    text << "members " << figures.members << ", connections " << figures.connections << ", bans "
         << figures.bans << (figures.listening ? "" : ", not listening") << '\n';
    text << "lines " << counters.lines << ", deliveries " << counters.deliveries << '\n';
    text << "disconnects:";
    for (std::size_t i = 0; i < ServerCounters::LeaveReasons; ++i)
        text << (i == 0 ? " " : ", ") << MetricLabel(static_cast<LeaveReason>(i)) << ' '
             << counters.disconnects[i];
    text << '\n';
    const LatencyHistogram& broadcast = counters.broadcast;
    if (broadcast.Count() > 0)
    {
        text.precision(3);
        text << "broadcast: mean "
             << Seconds(broadcast.Sum()) * 1000 / static_cast<double>(broadcast.Count()) << " ms";
        const double p99 = WithinMs(broadcast, 0.99);
        if (p99 >= 0)
            text << ", 99% within " << p99 << " ms";
        else
            text << ", 99% within more than 1 s";
        text << '\n';
        text.precision(1);
    }
    if (figures.tls)
    {
        const double days =
            static_cast<double>(figures.tls->certificateNotAfter - now) / (24 * 3600.0);
        text << "TLS: " << counters.tlsHandshakes << " handshakes, " << counters.tlsHandshakesFailed
             << " failed; the certificate " << (days >= 0 ? "expires in " : "expired ")
             << (days >= 0 ? days : -days) << " days" << (days >= 0 ? "" : " ago") << '\n';
    }
    if (figures.engine)
    {
        const EngineFigures& engine = *figures.engine;
        text << "engine: " << (engine.up ? "up" : "down") << ", " << engine.lagEntries
             << " entries behind, " << engine.reconnects << " reconnects, " << engine.gaps
             << " gaps\n";
    }
    if (process)
    {
        text << "process: " << static_cast<double>(process->residentBytes) / (1024 * 1024)
             << " MiB resident, " << process->openFiles << " open files, " << process->cpuSeconds
             << " s of CPU, up " << static_cast<double>(now) - process->startTime << " s\n";
    }
    const std::string ready = NotReadyReason(figures);
    text << (ready.empty() ? "ready" : "not ready: " + ready) << ", version " << ServerVersion()
         << '\n';
    return text.str();
}
