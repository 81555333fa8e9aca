#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// What this server wrote to the room's stream, by number in its run, until it has come back
// through the stream, and a while after (to be written again should Redis lose it): Redis takes
// one connection's commands in order, so an entry shown back shows that those Redis took before
// it are in the stream before it too. How far the server has written ahead of what it has read
// back paces it: far ahead, it takes no more from its members until it is nearly back.
class Outbox
{
public:
    using Clock = std::chrono::steady_clock;
    using Words = std::vector<std::string>;

    // Own entries shown back are kept this long (and at most so many).
    static constexpr auto RetainTime = std::chrono::seconds(10);
    static constexpr std::size_t RetainMost = 20000;
    // This many entries not yet shown back are far ahead; ahead, back to PaceLow is near.
    static constexpr std::size_t PaceHigh = 1000;
    static constexpr std::size_t PaceLow = 200;

    struct Entry
    {
        std::uint64_t number;
        Words command;      // what writes it
        bool taken = false; // Redis said it took it
        Clock::time_point seenAt{};
    };

    // The number the next entry gets.
    std::uint64_t NextNumber() const { return nextNumber; }
    // Queues the entry numbered NextNumber(); returns it, to be written.
    const Entry& Add(Words command);
    // Redis answered the entry's write: it took it.
    void Taken(std::uint64_t number);
    // The entry came back through the stream.
    void SeenBack(std::uint64_t number, Clock::time_point now);
    // Each entry to write again after a reconnection, in order: those not shown back, and with
    // everything, before them those shown back within RetainTime before lostAt (Redis lost its
    // data: they may be gone).
    void Resend(bool everything, Clock::time_point lostAt,
                const std::function<void(const Entry&)>& send) const;
    bool Ahead() const { return ahead; }

private:
    std::uint64_t nextNumber = 1;
    std::deque<Entry> unconfirmed; // not yet shown back, in order
    std::deque<Entry> retained;    // shown back lately
    bool ahead = false;
};
