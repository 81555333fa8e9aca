#include "server/connection/ClientSession.h"

#include "server/connection/PlainChannel.h"
#include "server/connection/ServerTls.h"
#include "server/room/ServerLog.h"

#include <asio/post.hpp>

namespace
{

Departure ErrorDeparture(const asio::error_code& error)
{
    return {LeaveReason::Left,
            "connection error " + std::to_string(error.value()) + " (" + error.message() + ")"};
}

bool WouldBlock(const asio::error_code& error)
{
    return error == asio::error::would_block || error == asio::error::try_again;
}

} // namespace

ClientSession::ClientSession(SessionContext& context, asio::ip::tcp::socket socket,
                             std::uint64_t number, std::string address,
                             std::unique_ptr<ByteChannel> tlsChannel)
    : context(context), socket(std::move(socket)), channel(std::move(tlsChannel)),
      encrypted(channel != nullptr), number(number), address(std::move(address))
{
    if (!channel)
        channel = std::make_unique<PlainChannel>(this->socket);
    asio::error_code ignored;
    this->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    this->socket.set_option(asio::socket_base::send_buffer_size(SendBuffer), ignored);
    this->socket.non_blocking(true, ignored);
}

void ClientSession::Start(ChatRoom::MemberId id)
{
    member = id;
    counted = true;
    context.backlog.Add(number);
    ReadSome();
}

void ClientSession::TurnAway(const Frame& line, const Departure& departure)
{
    turnedAway = departure;
    Deliver(line);
    BeginClosing();
    ReadSome();
}

// ---------------------------------------------------------------------------------------------
// Reading. The socket is read without blocking into the one shared buffer, and waited on only
// when it has nothing more to give: a full read is followed by another, after the handlers
// already waiting, so that one busy client does not keep the loop to itself.

void ClientSession::ReadSome()
{
    if (state == State::Closed || inputHeld)
        return;
    if (member != 0 && context.backlog.RoomWaits())
    {
        // Most of the room is behind: no more input from anyone until enough have caught up.
        if (!readPaused)
        {
            readPaused = true;
            if (!unreadSince)
                unreadSince = Clock::now();
            context.backlog.WaitForRoom([weak = weak_from_this()] {
                if (const auto self = weak.lock())
                    self->Resume();
            });
        }
        return;
    }
    asio::error_code error;
    ByteChannel::Wait waitFor = ByteChannel::Wait::wait_read;
    const std::size_t count =
        channel->Read(context.readBuffer.data(), context.readBuffer.size(), error, waitFor);
    if (writeAwaitsRead)
    {
        // What was read may have moved a TLS handshake on, which a write waited for.
        writeAwaitsRead = false;
        WriteWhatWaits();
        if (state == State::Closed)
            return;
    }
    if (WouldBlock(error))
    {
        unreadSince.reset();
        WaitReadable(waitFor);
        return;
    }
    if (error == asio::error::eof)
    {
        Ended({});
        return;
    }
    if (error)
    {
        Ended(ErrorDeparture(error));
        return;
    }
    if (!context.takesTls && !sawInput && count > 0 &&
        static_cast<unsigned char>(context.readBuffer[0]) == TlsHandshakeRecord)
    {
        // No plain client begins so: a TLS client is told at once, rather than after a time-out.
        LeaveRoom({LeaveReason::TurnedAway,
                   "began a TLS handshake, and this server has no TLS (see --tls-cert)"});
        Close(false);
        return;
    }
    sawInput = true;
    // A closing connection's input is only drained, so that closing does not reset it.
    if (member != 0)
    {
        const auto now = Clock::now();
        input.Append(context.readBuffer.data(), count);
        inputSince = unreadSince.value_or(now);
        HandleInput(now);
    }
    if (state == State::Closed || inputHeld)
        return;
    // A full read may leave more in the socket; TLS may hold decrypted bytes back as well.
    if (count == context.readBuffer.size() || encrypted)
        asio::post(socket.get_executor(), [self = shared_from_this()] { self->ReadSome(); });
    else
    {
        unreadSince.reset();
        WaitReadable();
    }
}

void ClientSession::HandleInput(Clock::time_point now)
{
    oNet::Packet packet;
    std::size_t badLength = 0;
    while (member != 0 && !inputHeld)
    {
        const FrameSplitter::Result next = input.Next(packet, badLength);
        if (next == FrameSplitter::Result::NeedMore)
            return;
        if (next == FrameSplitter::Result::BadLength)
        {
            LeaveRoom({LeaveReason::BadInput, "frame length " + std::to_string(badLength)});
            BeginClosing();
            return;
        }
        // The room closes the member itself when the packet calls for it.
        if (context.room.Handle(member, packet, now, inputSince) == ChatRoom::Input::Wait)
            inputHeld = true;
    }
}

void ClientSession::ContinueInput()
{
    asio::post(socket.get_executor(), [self = shared_from_this()] {
        if (!self->inputHeld || self->state == State::Closed)
            return;
        self->inputHeld = false;
        if (self->member != 0)
            self->HandleInput(Clock::now());
        self->ReadSome();
    });
}

void ClientSession::WaitReadable(ByteChannel::Wait waitFor)
{
    socket.async_wait(waitFor, [self = shared_from_this()](const asio::error_code& error) {
        if (!error)
            self->ReadSome();
        else if (error != asio::error::operation_aborted)
            self->Ended(ErrorDeparture(error));
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
void ClientSession::Ended(const Departure& departure)
{
    if (state == State::Closed)
        return;
    LeaveRoom(departure);
    Close(false);
}

// The session's own decision to end the membership: the room is told why.
void ClientSession::LeaveRoom(const Departure& departure)
{
    StopCounting();
    if (member == 0)
        return;
    const ChatRoom::MemberId id = member;
    member = 0;
    context.room.Leave(id, departure);
}

void ClientSession::StopCounting()
{
    if (!counted)
        return;
    counted = false;
    context.backlog.Remove(number);
}

// ---------------------------------------------------------------------------------------------
// Writing.

void ClientSession::Deliver(const Frame& frame)
{
    if (state == State::Closed || letGoPending)
        return;
    Queue(frame);
}

void ClientSession::Queue(const Frame& frame)
{
    output.Push(frame);
    BacklogChanged(false);
    ScheduleFlush();
}

// A write after the handlers that are ready now, unless one is due already or the session
// waits for the socket.
void ClientSession::ScheduleFlush()
{
    if (waitingWritable || flushScheduled)
        return;
    flushScheduled = true;
    context.flushes.Schedule(shared_from_this());
}

void ClientSession::Flush()
{
    flushScheduled = false;
    if (!waitingWritable)
        WriteWhatWaits();
}

// What waits is copied into the shared write buffer and written without blocking, as much as the
// socket takes; only when it is full does the session wait for it. Small frames thus go out many
// to a write, and nothing of a write has to stay put while the session waits. Also tried at each
// tick for a member that is behind: the system signals room to write only in large steps.
void ClientSession::WriteWhatWaits()
{
    bool wrote = false;
    ByteChannel::Wait waitFor = ByteChannel::Wait::wait_write;
    while (state != State::Closed && !output.Empty())
    {
        const std::size_t copied =
            output.CopyOut(context.writeBuffer.data(), context.writeBuffer.size());
        asio::error_code error;
        const std::size_t sent = channel->Write(context.writeBuffer.data(), copied, error, waitFor);
        if (WouldBlock(error))
            break;
        if (error)
        {
            Ended(ErrorDeparture(error));
            return;
        }
        context.counters.deliveries += output.Consume(sent);
        wrote = true;
        if (sent < copied && !encrypted)
            break;
    }
    if (state == State::Closed)
        return;
    BacklogChanged(wrote);
    if (output.Empty())
    {
        if (state == State::Closing)
            channel->FinishSending();
    }
    else if (waitFor == ByteChannel::Wait::wait_read)
        writeAwaitsRead = true; // the read side tries again
    else
        WaitWritable();
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
                              self->Ended(ErrorDeparture(error));
                      });
}

// The one check of the backlog; its one action is letting the member go.
void ClientSession::BacklogChanged(bool wrote)
{
    if (!counted)
        return;
    auto departure = context.backlog.Check(number, output.Bytes(), wrote);
    if (!departure || letGoPending)
        return;
    letGoPending = true;
    // Not from here: this may run while the room is handing out frames.
    asio::post(socket.get_executor(),
               [self = shared_from_this(), why = std::move(*departure)] { self->LetGo(why); });
}

// What waited for it will not be read in time: it is dropped (all but a frame already begun,
// which the client would otherwise read as garbage), and the member is told why behind what the
// system holds already.
void ClientSession::LetGo(const Departure& departure)
{
    if (state != State::Open || member == 0)
        return;
    letGoPending = true;
    LeaveRoom(departure);
    output.DropUnsent();
    Queue(ChatRoom::ServerLine("You were disconnected: you fell too far behind the room."));
    BeginClosing();
}

// ---------------------------------------------------------------------------------------------
// Closing.

void ClientSession::Disconnect()
{
    // The room has let it go already.
    member = 0;
    StopCounting();
    BeginClosing();
    Resume(); // a paused read goes on, only to drain, until the client closes
    if (inputHeld)
    {
        inputHeld = false;
        asio::post(socket.get_executor(), [self = shared_from_this()] { self->ReadSome(); });
    }
}

// Sends what waits, then tells the client that no more comes, and gives it CloseGrace to read
// and close; one that has not by then is reset, so that what it did not read is dropped.
void ClientSession::BeginClosing()
{
    if (state != State::Open)
        return;
    state = State::Closing;
    closeTimer.emplace(socket.get_executor());
    closeTimer->expires_after(CloseGrace);
    closeTimer->async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (!error)
            self->Close(true);
    });
    ScheduleFlush();
}

void ClientSession::Shutdown(const Frame& notice)
{
    if (state != State::Open)
        return;
    // The room is not told: it ends with the server.
    member = 0;
    StopCounting();
    Queue(notice);
    BeginClosing();
    Resume(); // a paused read goes on, only to drain, until the client closes
}

void ClientSession::Close(bool reset)
{
    if (state == State::Closed)
        return;
    StopCounting();
    state = State::Closed;
    if (closeTimer)
        closeTimer->cancel();
    asio::error_code ignored;
    if (reset)
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
    output.Clear();
    if (turnedAway)
        WriteLogLine(context.log, address + " disconnected: " + turnedAway->Text());
    context.closed(*this);
}
