#include "server/link/Outbox.h"

const Outbox::Entry& Outbox::Add(Words command)
{
    unconfirmed.push_back({nextNumber++, std::move(command), false, {}});
    if (unconfirmed.size() >= PaceHigh)
        ahead = true;
    return unconfirmed.back();
}

void Outbox::Taken(std::uint64_t number)
{
    // Numbers follow one another among those not yet shown back.
    if (!unconfirmed.empty() && number >= unconfirmed.front().number &&
        number - unconfirmed.front().number < unconfirmed.size())
        unconfirmed[number - unconfirmed.front().number].taken = true;
}

void Outbox::SeenBack(std::uint64_t number, Clock::time_point now)
{
    while (!unconfirmed.empty() && unconfirmed.front().number <= number &&
           (unconfirmed.front().taken || unconfirmed.front().number == number))
    {
        retained.push_back(std::move(unconfirmed.front()));
        retained.back().seenAt = now;
        unconfirmed.pop_front();
    }
    while (!retained.empty() &&
           (now - retained.front().seenAt > RetainTime || retained.size() > RetainMost))
        retained.pop_front();
    if (unconfirmed.size() <= PaceLow)
        ahead = false;
}

void Outbox::Resend(bool everything, Clock::time_point lostAt,
                    const std::function<void(const Entry&)>& send) const
{
    if (everything)
        for (const Entry& entry : retained)
            if (lostAt - entry.seenAt <= RetainTime)
                send(entry);
    for (const Entry& entry : unconfirmed)
        send(entry);
}
