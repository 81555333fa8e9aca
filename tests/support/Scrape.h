#pragma once

// The metrics endpoint as a scraper sees it (host build): one GET per connection on loopback,
// what promtool says of an exposition, and the value of one sample in it.

#include <cstdint>
#include <string>

namespace testing_support
{

struct HttpAnswer
{
    int status = 0; // 0: no whole answer within the time
    std::string head;
    std::string body;
};

// GET path from 127.0.0.1:port, reading until the server closes the connection.
HttpAnswer HttpGet(std::uint16_t port, const std::string& path, int timeoutMs = 5000,
                   const std::string& method = "GET");

// What `promtool check metrics` finds wrong with an exposition; empty when nothing.
std::string PromtoolProblems(const std::string& exposition);

// The value of one sample, named as it stands in the text ("name" or "name{labels}"); NaN when
// the exposition has no such sample.
double SampleValue(const std::string& exposition, const std::string& sample);

} // namespace testing_support
