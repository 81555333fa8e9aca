#pragma once

// Bans as the tests write them: a target in the operator's notation, a reason, and an end or none.

#include "server/operator/BanList.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>

namespace testing_support
{

// The tests' "now": 2027-01-15T08:00:00Z.
inline const std::time_t BanNow = 1'800'000'000;

inline asio::ip::address Address(const char* text)
{
    return asio::ip::make_address(text);
}

inline Ban BanOf(const std::string& target, const std::string& reason,
                 std::optional<std::time_t> until = {})
{
    Ban ban;
    std::string error;
    EXPECT_TRUE(IpNetwork::Parse(target, ban.network, error)) << target;
    ban.reason = reason;
    ban.until = until;
    return ban;
}

} // namespace testing_support
