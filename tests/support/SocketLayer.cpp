// Starts the socket layer once for a test binary, as the program's start-up does.

#include "net/SocketPlatform.h"

#include <gtest/gtest.h>

namespace
{

class SocketLayer : public ::testing::Environment
{
public:
    void SetUp() override
    {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new SocketLayer);

} // namespace
