#pragma once

#include <asio/io_context.hpp>

#include <memory>
#include <vector>

class ClientSession;

// Writes start once the handlers that are ready have run, so that everything queued for a
// connection meanwhile goes out in one write.
class FlushBatch
{
public:
    explicit FlushBatch(asio::io_context& io) : io(io) {}
    void Schedule(std::shared_ptr<ClientSession> session);

private:
    void Run();

    asio::io_context& io;
    std::vector<std::shared_ptr<ClientSession>> due;
    bool posted = false;
};
