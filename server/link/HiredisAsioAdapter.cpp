#include "server/link/HiredisAsioAdapter.h"

#include <asio/post.hpp>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>

void HiredisAsioAdapter::Attach(asio::io_context& io, redisAsyncContext* context)
{
    auto adapter = std::make_shared<HiredisAsioAdapter>(io, context);
    adapter->self = adapter;
    context->ev.data = adapter.get();
    context->ev.addRead = AddRead;
    context->ev.delRead = DelRead;
    context->ev.addWrite = AddWrite;
    context->ev.delWrite = DelWrite;
    context->ev.cleanup = Cleanup;
}

HiredisAsioAdapter::HiredisAsioAdapter(asio::io_context& io, redisAsyncContext* context)
    : context(context), socket(io, context->c.fd)
{
}

void HiredisAsioAdapter::AddRead(void* adapter)
{
    auto* self = static_cast<HiredisAsioAdapter*>(adapter);
    self->wants[0] = true;
    self->Arm(false);
}

void HiredisAsioAdapter::DelRead(void* adapter)
{
    // A wait already armed stays: when it ends, it finds the read no longer wanted.
    static_cast<HiredisAsioAdapter*>(adapter)->wants[0] = false;
}

// hiredis has queued a command: it is written once the handlers ready now have run, together
// with whatever else they queue, and waited for only when the socket is full. Until the
// connection is made, the socket is waited on: hiredis takes the first write it is given for
// the end of the connect, and would take one still in progress for made.
void HiredisAsioAdapter::AddWrite(void* adapter)
{
    auto* self = static_cast<HiredisAsioAdapter*>(adapter);
    self->wants[1] = true;
    if (self->attached && !(self->context->c.flags & REDIS_CONNECTED))
    {
        self->Arm(true);
        return;
    }
    // Within a write, more to write means the socket is full: Ready waits for room then.
    if (self->writing || self->writePosted || !self->attached)
        return;
    self->writePosted = true;
    asio::post(self->socket.get_executor(), [keep = self->shared_from_this()] {
        keep->writePosted = false;
        keep->Ready(true);
    });
}

void HiredisAsioAdapter::DelWrite(void* adapter)
{
    static_cast<HiredisAsioAdapter*>(adapter)->wants[1] = false;
}

// hiredis is done with the socket (it closes it itself) and may call this more than once: the
// hooks are taken off the context, so that nothing reaches the adapter after.
void HiredisAsioAdapter::Cleanup(void* adapter)
{
    auto* self = static_cast<HiredisAsioAdapter*>(adapter);
    const auto keep = std::move(self->self);
    self->attached = false;
    self->wants[0] = self->wants[1] = false;
    self->context->ev.addRead = nullptr;
    self->context->ev.delRead = nullptr;
    self->context->ev.addWrite = nullptr;
    self->context->ev.delWrite = nullptr;
    self->context->ev.cleanup = nullptr;
    self->context->ev.data = nullptr;
    self->context = nullptr;
    // Pending waits end with operation_aborted; the descriptor is not closed here.
    self->socket.release();
}

void HiredisAsioAdapter::Arm(bool write)
{
    const int way = write ? 1 : 0;
    if (!attached || armed[way])
        return;
    armed[way] = true;
    socket.async_wait(write ? asio::posix::stream_descriptor::wait_write
                            : asio::posix::stream_descriptor::wait_read,
                      [self = shared_from_this(), write, way](const asio::error_code& error) {
                          self->armed[way] = false;
                          if (!error)
                              self->Ready(write);
                      });
}

// The event loop tells of a change of state only (edge-triggered), and hiredis reads or writes
// once per call: so the socket is read until it holds nothing more (a few rounds, then the
// others' turn), and waited on only then; a write is waited on only when it could not go whole.
void HiredisAsioAdapter::Ready(bool write)
{
    const int way = write ? 1 : 0;
    if (!attached || !wants[way])
        return;
    // hiredis may clean up (and free the context) within: nothing of it is touched after.
    if (write)
    {
        writing = true;
        redisAsyncHandleWrite(context);
        writing = false;
        if (attached && wants[1])
            Arm(true);
        return;
    }
    for (int round = 0; round < 16 && attached && wants[0]; ++round)
    {
        redisAsyncHandleRead(context);
        if (!attached || !wants[0] || !Readable())
            break;
        if (round == 15)
        {
            asio::post(socket.get_executor(), [self = shared_from_this()] { self->Ready(false); });
            return;
        }
    }
    if (attached && wants[0])
        Arm(false);
}

bool HiredisAsioAdapter::Readable()
{
    asio::posix::stream_descriptor::bytes_readable waiting(true);
    asio::error_code error;
    socket.io_control(waiting, error);
    return !error && waiting.get() > 0;
}
