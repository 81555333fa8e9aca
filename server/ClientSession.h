#pragma once

#include "server/ChatParticipant.h"
#include "server/ChatRoom.h"
#include "server/OutputQueue.h"

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <memory>
#include <string>

class ChatServer;

// How much may wait for one connection, and what happens beyond. A connection that reads what it
// is sent is never cut off: once its backlog reaches PauseMark the server reads nothing from any
// client (so no more lines are made for anyone) until it is down to ResumeMark. One that does not
// read (nothing of its backlog has gone out for StallTime) no longer holds the others up; it is
// cut off when more than SoftLimit has waited for SoftTime, or more than HardLimit at once. The
// system's own send buffer is kept modest as well.
struct OutputLimits
{
    static constexpr std::size_t PauseMark = 64 * 1024;
    static constexpr std::size_t ResumeMark = 16 * 1024;
    static constexpr std::size_t SoftLimit = 256 * 1024;
    static constexpr auto SoftTime = std::chrono::seconds(10);
    static constexpr std::size_t HardLimit = 1024 * 1024;
    // Long enough for a client that reads slowly over loopback, whose window opens in large
    // steps, to be seen reading.
    static constexpr auto StallTime = std::chrono::seconds(2);
    static constexpr int SendBuffer = 64 * 1024;
    // A closing connection's time to read its last line and go.
    static constexpr auto CloseGrace = std::chrono::seconds(2);
};

// One client connection: it moves bytes between its socket and the chat room, and holds what
// waits to be sent. It reads only when the server lets it (see OutputLimits) and writes as soon
// as something is queued. Kept alive by the server's table and by its own pending operations.
class ClientSession final : public ChatParticipant,
                            public std::enable_shared_from_this<ClientSession>
{
public:
    using Clock = std::chrono::steady_clock;

    ClientSession(ChatServer& server, asio::ip::tcp::socket socket, std::string address);

    const std::string& Address() const { return address; }
    bool Closed() const { return state == State::Closed; }

    // A member of the room: its input goes to the room.
    void Start(ChatRoom::MemberId id);
    // Not let in: the connection gets one line saying why and is closed. The reason is logged
    // when it has gone.
    void TurnAway(const Frame& line, const std::string& reason);

    void Deliver(const Frame& frame) override;
    void Disconnect() override;

    // Called by the server: writes what is queued, unless a write is under way.
    void Flush();
    // Reading may go on again.
    void Resume();
    // Once a tick while its backlog is high: stops holding the others up, or cuts it off.
    void CheckBacklog(Clock::time_point now);
    // Once a tick while closing: true when it has closed.
    bool CloseIfOverdue(Clock::time_point now);
    // The server stops: what is queued goes out as far as the socket takes it, then it closes.
    void Shutdown();

private:
    enum class State
    {
        Open,    // a member, or being turned away
        Closing, // sending its last bytes, then waiting for the client to close
        Closed
    };

    void ReadSome();
    void WaitReadable();
    void Ended(const std::string& reason);
    void LeaveRoom(const std::string& reason);
    void WriteWhatWaits();
    void WaitWritable();
    void BacklogChanged();
    void EndCongestion();
    void StopHolding();
    void CutOff(const std::string& reason);
    void BeginClosing();
    void FinishSending();
    void Close(bool reset);

    ChatServer& server;
    asio::ip::tcp::socket socket;
    std::string address;
    ChatRoom::MemberId member = 0; // 0 when not, or no longer, in the room
    State state = State::Open;
    std::string turnedAwayReason;

    OutputQueue output;
    bool waitingWritable = false;
    bool flushScheduled = false;
    bool readPaused = false;
    bool cutOffPending = false;

    bool congested = false; // backlog at or above PauseMark, not yet back to ResumeMark
    bool holding = false;   // and the server waits for it
    bool overSoft = false;
    Clock::time_point congestedSince;
    Clock::time_point lastProgress;
    Clock::time_point overSoftSince;
    Clock::time_point closeBy;
};
