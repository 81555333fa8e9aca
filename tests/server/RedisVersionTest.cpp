// Which Redis the room works with, as INFO server gives its version.

#include "server/link/RedisVersion.h"

#include <gtest/gtest.h>

namespace
{

TEST(RedisVersion, SevenOrLaterIsTakenAnOlderOneOrNoneIsRefusedWithTheReason)
{
    const struct
    {
        const char* info;
        const char* problem; // a piece of it; empty: taken
    } cases[] = {
        {"# Server\r\nredis_version:7.0.15\r\nredis_git_sha1:0\r\n", ""},
        {"redis_version:7.2.4\r\n", ""},
        {"redis_version:10.0.0", ""},
        {"# Server\r\nredis_version:6.2.14\r\n",
         "Redis 6.2.14 is too old: the room needs Redis 7.0"},
        {"redis_version:5.0.7\r\n", "is too old"},
        {"redis_version:seven\r\n", "gives its version as \"seven\", which is none"},
        {"redis_version:\r\n", "which is none"},
        {"# Server\r\nuptime_in_seconds:5\r\n", "does not say its version"},
        {"", "does not say its version"},
    };
    for (const auto& test : cases)
    {
        const std::string problem = RedisVersion::Problem(test.info);
        if (*test.problem == '\0')
        {
            EXPECT_EQ(problem, "") << test.info;
        }
        else
        {
            EXPECT_NE(problem.find(test.problem), std::string::npos)
                << test.info << ": " << problem;
        }
    }
}

} // namespace
