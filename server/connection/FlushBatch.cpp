#include "server/connection/FlushBatch.h"

#include "server/connection/ClientSession.h"

#include <asio/post.hpp>

void FlushBatch::Schedule(std::shared_ptr<ClientSession> session)
{
    due.push_back(std::move(session));
    if (!posted)
    {
        posted = true;
        asio::post(io, [this] { Run(); });
    }
}

void FlushBatch::Run()
{
    posted = false;
    std::vector<std::shared_ptr<ClientSession>> now;
    now.swap(due);
    for (const auto& session : now)
        session->Flush();
}
