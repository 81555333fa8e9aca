#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <memory>

struct redisAsyncContext;

// Drives one hiredis asynchronous context from the server's io_context, on its one thread: the
// context's socket is watched by an Asio descriptor that never owns it (hiredis closes it);
// what hiredis queues is written after the handlers ready now have run, and the socket is read
// while hiredis wants replies. Attach it right after the context
// is made; it lets go when hiredis cleans up, and pending waits then end without touching the
// context.
class HiredisAsioAdapter : public std::enable_shared_from_this<HiredisAsioAdapter>
{
public:
    static void Attach(asio::io_context& io, redisAsyncContext* context);

    HiredisAsioAdapter(asio::io_context& io, redisAsyncContext* context);
    HiredisAsioAdapter(const HiredisAsioAdapter&) = delete;
    HiredisAsioAdapter& operator=(const HiredisAsioAdapter&) = delete;

private:
    static void AddRead(void* adapter);
    static void DelRead(void* adapter);
    static void AddWrite(void* adapter);
    static void DelWrite(void* adapter);
    static void Cleanup(void* adapter);

    void Arm(bool write);
    void Ready(bool write);
    // Whether bytes wait in the socket.
    bool Readable();

    redisAsyncContext* context;
    asio::posix::stream_descriptor socket;
    bool attached = true;
    bool wants[2] = {false, false};           // read, write: what hiredis wants
    bool armed[2] = {false, false};           // a wait is pending
    bool writePosted = false;                 // a write is due once the ready handlers have run
    bool writing = false;                     // within hiredis's write
    std::shared_ptr<HiredisAsioAdapter> self; // kept until hiredis cleans up
};
