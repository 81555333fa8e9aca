#include "support/RunningServer.h"

#include <gtest/gtest.h>

namespace testing_support
{

std::string LockedLog::Text()
{
    std::lock_guard<std::mutex> lock(mutex);
    return text;
}

int LockedLog::overflow(int c)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (c != traits_type::eof())
        text += static_cast<char>(c);
    return c;
}

std::streamsize LockedLog::xsputn(const char* s, std::streamsize n)
{
    std::lock_guard<std::mutex> lock(mutex);
    text.append(s, static_cast<std::size_t>(n));
    return n;
}

RunningServer::RunningServer(ServerOptions options, OutputLimits limits) : logStream(&log)
{
    options.port = 0;
    server = std::make_unique<ChatServer>(options, logStream, nullptr, limits);
    std::string error;
    EXPECT_TRUE(server->Start(error)) << error;
    thread = std::thread([this] { server->Run(); });
}

RunningServer::~RunningServer()
{
    server->Stop();
    thread.join();
}

} // namespace testing_support
