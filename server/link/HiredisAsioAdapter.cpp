#include "server/link/HiredisAsioAdapter.h"

#include <hiredis/async.h>

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

void HiredisAsioAdapter::AddWrite(void* adapter)
{
    auto* self = static_cast<HiredisAsioAdapter*>(adapter);
    self->wants[1] = true;
    self->Arm(true);
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

void HiredisAsioAdapter::Ready(bool write)
{
    const int way = write ? 1 : 0;
    if (!attached || !wants[way])
        return;
    // hiredis may clean up (and free the context) within: nothing of it is touched after.
    if (write)
        redisAsyncHandleWrite(context);
    else
        redisAsyncHandleRead(context);
    if (attached && wants[way])
        Arm(write);
}
