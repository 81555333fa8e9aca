#pragma once

#include "server/metrics/ProcessFigures.h"
#include "server/metrics/ServerFigures.h"

#include <ctime>
#include <optional>
#include <string>

// The server's figures as text: for Prometheus (its text exposition format, version 0.0.4, with
// the names and units its conventions ask for), and for the operator's console. Both show the
// same figures; the process's own are left out where the system does not give them.

constexpr const char* PrometheusContentType = "text/plain; version=0.0.4; charset=utf-8";

// The version the server reports in ostrel_build_info.
const char* ServerVersion();

std::string PrometheusText(const ServerFigures& figures,
                           const std::optional<ProcessFigures>& process);

// The same as a few lines a person reads; now (UTC) tells how long the certificate has left.
std::string StatsText(const ServerFigures& figures, const std::optional<ProcessFigures>& process,
                      std::time_t now);
