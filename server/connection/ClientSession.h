#pragma once

#include "server/connection/ByteChannel.h"
#include "server/connection/FrameSplitter.h"
#include "server/connection/OutputQueue.h"
#include "server/connection/SessionContext.h"
#include "server/room/BacklogPolicy.h"
#include "server/room/ChatParticipant.h"
#include "server/room/ChatRoom.h"
#include "server/room/Departure.h"
#include "server/room/ServerCounters.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One client connection: it moves bytes between its socket and the chat room, and holds what
// waits to be sent. It splits what it reads into packets and hands them to the room one by one,
// holding the rest while the room has the member wait; it writes as soon as something is queued,
// reads unless the room waits (BacklogPolicy decides), and is let go when the policy says so. Its
// bytes go through a ByteChannel, plain or TLS, chosen before the session begins: a TLS one comes
// past its handshake. Kept alive by the server's table and by its own pending operations.
class ClientSession final : public ChatParticipant,
                            public std::enable_shared_from_this<ClientSession>
{
public:
    using Clock = std::chrono::steady_clock;

    // The system's send buffer for each connection: what it keeps beside the server's own queue.
    static constexpr int SendBuffer = 64 * 1024;
    // A closing connection's time to read its last line and go.
    static constexpr auto CloseGrace = std::chrono::seconds(2);

    // Without a channel, the connection's bytes go as they are.
    ClientSession(SessionContext& context, asio::ip::tcp::socket socket, std::uint64_t number,
                  std::string address, std::unique_ptr<ByteChannel> tlsChannel = nullptr);

    std::uint64_t Number() const { return number; }
    const std::string& Address() const { return address; }
    bool Encrypted() const { return encrypted; }

    // A member of the room: its input goes to the room.
    void Start(ChatRoom::MemberId id);
    // Not let in: the connection gets one line saying why and is closed. Why is logged when it
    // has gone.
    void TurnAway(const Frame& line, const Departure& departure);

    void Deliver(const Frame& frame) override;
    void Disconnect() override;
    void ContinueInput() override;

    // Writes what is queued, unless the session waits for the socket to take more.
    void Flush();
    // Tries a write all the same: for a member that is behind, to see whether it reads at all.
    void TryWrite() { WriteWhatWaits(); }
    // Let go by the policy: told why, as far as it still listens, and closed.
    void LetGo(const Departure& departure);
    // The server stops: the member gets the notice after what waits for it, and is closed as
    // when it is let go (at the latest CloseGrace later). One closing already goes on closing.
    void Shutdown(const Frame& notice);
    // The server ends now: closed at once.
    void Close(bool reset);

private:
    enum class State
    {
        Open,    // a member, or being turned away
        Closing, // sending its last bytes, then waiting for the client to close
        Closed
    };

    void ReadSome();
    // Hands the room every whole packet read, until it has the member wait.
    void HandleInput(Clock::time_point now);
    void WaitReadable(ByteChannel::Wait waitFor = ByteChannel::Wait::wait_read);
    void Resume();
    void Ended(const Departure& departure);
    void LeaveRoom(const Departure& departure);
    // No longer known to the backlog policy.
    void StopCounting();
    void WriteWhatWaits();
    void WaitWritable();
    void Queue(const Frame& frame);
    void ScheduleFlush();
    void BacklogChanged(bool wrote);
    void BeginClosing();

    SessionContext& context;
    asio::ip::tcp::socket socket;
    std::unique_ptr<ByteChannel> channel;
    bool encrypted = false;
    bool sawInput = false;
    const std::uint64_t number;
    const std::string address;
    ChatRoom::MemberId member = 0; // 0 when not, or no longer, in the room
    bool counted = false;          // known to the backlog policy
    State state = State::Open;
    std::optional<Departure> turnedAway;

    FrameSplitter input;
    bool inputHeld = false;         // the room has the member wait: no packet, no read
    Clock::time_point inputSince{}; // what the input's packets count as sent since

    OutputQueue output;
    bool waitingWritable = false;
    bool writeAwaitsRead = false; // TLS: a write waits for the handshake to read on
    bool flushScheduled = false;
    bool readPaused = false;
    bool letGoPending = false;
    // Since when input has waited unread because the room waited (see TokenBucket).
    std::optional<Clock::time_point> unreadSince;
    std::optional<asio::steady_timer> closeTimer;
};
