#include "support/Scrape.h"

#include "support/Files.h"
#include "support/RawConnection.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>

namespace testing_support
{

HttpAnswer HttpGet(std::uint16_t port, const std::string& path, int timeoutMs,
                   const std::string& method)
{
    HttpAnswer answer;
    RawConnection connection;
    if (!connection.Connect("127.0.0.1", port))
        return answer;
    connection.Send(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return answer; // not closed in time: not a whole answer
        const Bytes bytes = connection.ReceiveSome(static_cast<int>(left.count()));
        if (bytes.empty())
            break;
        received += AsString(bytes);
    }
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (received.rfind("HTTP/1.1 ", 0) != 0 || headEnd == std::string::npos)
        return answer;
    answer.status = std::stoi(received.substr(9, 3));
    answer.head = received.substr(0, headEnd);
    answer.body = received.substr(headEnd + 4);
    return answer;
}

std::string PromtoolProblems(const std::string& exposition)
{
    TempDir directory;
    const std::string file = directory.File("exposition.txt");
    WriteBytes(file, exposition);
    const std::string command = "promtool check metrics < '" + file + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), &pclose);
    if (!pipe)
        return "promtool could not be started";
    std::string output;
    char chunk[4096];
    for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
        output.append(chunk, n);
    const int status = pclose(pipe.release());
    return status == 0 ? output
                       : "promtool said (exit status " + std::to_string(status) + "): " + output;
}

double SampleValue(const std::string& exposition, const std::string& sample)
{
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);)
        if (line.size() > sample.size() + 1 && line.compare(0, sample.size(), sample) == 0 &&
            line[sample.size()] == ' ')
            return std::stod(line.substr(sample.size() + 1));
    return std::nan("");
}

} // namespace testing_support
