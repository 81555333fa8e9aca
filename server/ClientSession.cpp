#include "server/ClientSession.h"

#include "server/ChatServer.h"
#include "server/ServerLog.h"

#include <asio/post.hpp>

#include <algorithm>

namespace
{

std::string ErrorText(const asio::error_code& error)
{
    return "connection error " + std::to_string(error.value()) + " (" + error.message() + ")";
}

} // namespace

ClientSession::ClientSession(ChatServer& server, asio::ip::tcp::socket socket, std::string address)
    : server(server), socket(std::move(socket)), address(std::move(address))
{
    asio::error_code ignored;
    this->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    this->socket.set_option(asio::socket_base::send_buffer_size(OutputLimits::SendBuffer), ignored);
    this->socket.non_blocking(true, ignored);
}

void ClientSession::Start(ChatRoom::MemberId id)
{
    member = id;
    ReadSome();
}

void ClientSession::TurnAway(const Frame& line, const std::string& reason)
{
    turnedAwayReason = reason;
    Deliver(line);
    BeginClosing();
    ReadSome();
}

// ---------------------------------------------------------------------------------------------
// Reading. The socket is read without blocking into the server's one buffer, and waited on only
// when it has nothing more to give: a full read is followed by another, after the handlers
// already waiting, so that one busy client does not keep the loop to itself.

void ClientSession::ReadSome()
{
    if (state == State::Closed)
        return;
    if (member != 0 && server.HoldingBack())
    {
        // Someone who reads is behind: no more input from anyone until it has caught up.
        if (!readPaused)
        {
            readPaused = true;
            server.PauseReading(shared_from_this());
        }
        return;
    }
    asio::error_code error;
    const std::size_t count =
        socket.read_some(asio::buffer(server.ReadBuffer(), server.ReadBufferSize()), error);
    if (error == asio::error::would_block || error == asio::error::try_again)
    {
        WaitReadable();
        return;
    }
    if (error == asio::error::eof)
    {
        Ended("closed by the client");
        return;
    }
    if (error)
    {
        Ended(ErrorText(error));
        return;
    }
    // A closing connection's input is only drained, so that closing does not reset it.
    if (member != 0)
        server.Room().Receive(member, server.ReadBuffer(), count, Clock::now());
    if (state == State::Closed)
        return;
    if (count == server.ReadBufferSize())
        asio::post(socket.get_executor(), [self = shared_from_this()] { self->ReadSome(); });
    else
        WaitReadable();
}

void ClientSession::WaitReadable()
{
    socket.async_wait(asio::socket_base::wait_read,
                      [self = shared_from_this()](const asio::error_code& error) {
                          if (!error)
                              self->ReadSome();
                          else if (error != asio::error::operation_aborted)
                              self->Ended(ErrorText(error));
                      });
}

void ClientSession::Resume()
{
    if (!readPaused)
        return;
    readPaused = false;
    asio::post(socket.get_executor(), [self = shared_from_this()] { self->ReadSome(); });
}

// The client closed, or the connection failed.
void ClientSession::Ended(const std::string& reason)
{
    if (state == State::Closed)
        return;
    LeaveRoom(reason);
    Close(false);
}

// The session's own decision to end the membership: the room is told why.
void ClientSession::LeaveRoom(const std::string& reason)
{
    if (member == 0)
        return;
    const ChatRoom::MemberId id = member;
    member = 0;
    server.Room().Leave(id, reason);
}

// ---------------------------------------------------------------------------------------------
// Writing.

void ClientSession::Deliver(const Frame& frame)
{
    if (state == State::Closed || cutOffPending)
        return;
    output.Push(frame);
    BacklogChanged();
    if (!waitingWritable && !flushScheduled)
    {
        flushScheduled = true;
        server.ScheduleFlush(shared_from_this());
    }
}

// What waits is copied into the server's one write buffer and written without blocking, as much
// as the socket takes; only when it is full does the session wait for it. Small frames thus go
// out many to a write, and nothing of a write has to stay put while the session waits.
void ClientSession::Flush()
{
    flushScheduled = false;
    if (!waitingWritable)
        WriteWhatWaits();
}

void ClientSession::WriteWhatWaits()
{
    while (state != State::Closed && !output.Empty())
    {
        const std::size_t copied = output.CopyOut(server.WriteBuffer(), server.WriteBufferSize());
        asio::error_code error;
        const std::size_t sent =
            socket.write_some(asio::buffer(server.WriteBuffer(), copied), error);
        if (error == asio::error::would_block || error == asio::error::try_again)
        {
            WaitWritable();
            return;
        }
        if (error)
        {
            Ended(ErrorText(error));
            return;
        }
        lastProgress = Clock::now();
        output.Consume(sent);
        BacklogChanged();
        if (sent < copied)
        {
            WaitWritable();
            return;
        }
    }
    if (state == State::Closing)
        FinishSending();
}

void ClientSession::WaitWritable()
{
    if (waitingWritable)
        return;
    waitingWritable = true;
    socket.async_wait(asio::socket_base::wait_write,
                      [self = shared_from_this()](const asio::error_code& error) {
                          self->waitingWritable = false;
                          if (!error)
                              self->WriteWhatWaits();
                          else if (error != asio::error::operation_aborted)
                              self->Ended(ErrorText(error));
                      });
}

// ---------------------------------------------------------------------------------------------
// The backlog: see OutputLimits.

void ClientSession::BacklogChanged()
{
    const std::size_t bytes = output.Bytes();
    if (bytes > OutputLimits::HardLimit && member != 0 && !cutOffPending)
    {
        // Not from here: this runs while the room is busy handing out frames.
        cutOffPending = true;
        asio::post(socket.get_executor(), [self = shared_from_this()] {
            self->CutOff("too slow: more than 1 MiB waiting to be sent");
        });
        return;
    }
    if (!congested && bytes >= OutputLimits::PauseMark && member != 0)
    {
        congested = true;
        congestedSince = Clock::now();
        holding = true;
        server.Hold();
        server.Congested(this, true);
    }
    else if (congested && bytes <= OutputLimits::ResumeMark)
    {
        EndCongestion();
    }
}

// Caught up, or going: it holds nobody back and needs no more watching.
void ClientSession::EndCongestion()
{
    if (!congested)
        return;
    congested = false;
    overSoft = false;
    StopHolding();
    server.Congested(this, false);
}

void ClientSession::StopHolding()
{
    if (!holding)
        return;
    holding = false;
    server.ReleaseHold();
}

void ClientSession::CheckBacklog(Clock::time_point now)
{
    if (!congested || state == State::Closed)
        return;
    // The system tells that a socket may be written again only once a good part of its buffer
    // is free; a client that reads slowly frees it a little at a time. A write tried now finds
    // any room there is, so that such a client is seen to read.
    if (holding)
        WriteWhatWaits();
    if (state == State::Closed || !congested)
        return;
    if (holding && now - std::max(lastProgress, congestedSince) > OutputLimits::StallTime)
        StopHolding();
    if (output.Bytes() <= OutputLimits::SoftLimit)
    {
        overSoft = false;
        return;
    }
    if (!overSoft)
    {
        overSoft = true;
        overSoftSince = now;
    }
    else if (now - overSoftSince >= OutputLimits::SoftTime)
    {
        CutOff("too slow: more than 256 KiB waiting to be sent for 10 s");
    }
}

// What waits for a member that does not read, here and in the system's buffers, will never be
// read: its connection is reset rather than closed.
void ClientSession::CutOff(const std::string& reason)
{
    if (state == State::Closed)
        return;
    LeaveRoom(reason);
    Close(true);
}

// ---------------------------------------------------------------------------------------------
// Closing.

void ClientSession::Disconnect()
{
    member = 0; // the room has let it go already
    BeginClosing();
    Resume(); // a paused read goes on, only to drain, until the client closes
}

void ClientSession::BeginClosing()
{
    if (state != State::Open)
        return;
    state = State::Closing;
    closeBy = Clock::now() + OutputLimits::CloseGrace;
    EndCongestion();
    server.Closing(shared_from_this());
    if (!waitingWritable && output.Empty())
        FinishSending();
}

// Everything has gone out: the client is told that no more comes, and closes in its own time.
void ClientSession::FinishSending()
{
    asio::error_code ignored;
    socket.shutdown(asio::socket_base::shutdown_send, ignored);
}

bool ClientSession::CloseIfOverdue(Clock::time_point now)
{
    if (state == State::Closing && now >= closeBy)
        Close(false);
    return state == State::Closed;
}

void ClientSession::Shutdown()
{
    if (state == State::Closed)
        return;
    // As much of what waits as the socket takes without waiting.
    member = 0;
    WriteWhatWaits();
    Close(false);
}

void ClientSession::Close(bool reset)
{
    if (state == State::Closed)
        return;
    EndCongestion();
    state = State::Closed;
    asio::error_code ignored;
    if (reset)
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
    output.Clear();
    if (!turnedAwayReason.empty())
        WriteLogLine(server.Log(), address + " disconnected: turned away: " + turnedAwayReason);
    server.Closed(this);
}
