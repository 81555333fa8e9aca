#include "support/RedisServer.h"

#include <hiredis/hiredis.h>

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace testing_support
{

namespace
{

std::string TextOf(const redisReply* reply)
{
    if (!reply)
        return "(no reply)";
    switch (reply->type)
    {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
        return std::string(reply->str, reply->len);
    case REDIS_REPLY_ERROR:
        return "(error) " + std::string(reply->str, reply->len);
    case REDIS_REPLY_INTEGER:
        return std::to_string(reply->integer);
    case REDIS_REPLY_ARRAY: {
        std::string text;
        for (std::size_t i = 0; i < reply->elements; ++i)
            text += (i == 0 ? "" : "\n") + TextOf(reply->element[i]);
        return text;
    }
    default:
        return "(nil)";
    }
}

} // namespace

RedisServer::RedisServer() : socket(dir.File("redis.sock"))
{
    EXPECT_TRUE(Start()) << "redis-server did not start: " << ReadBytes(dir.File("redis.log"));
}

bool RedisServer::Start(const std::vector<std::string>& options)
{
    Stop();
    std::vector<std::string> arguments = {"redis-server",
                                          "--port",
                                          "0",
                                          "--unixsocket",
                                          socket,
                                          "--unixsocketperm",
                                          "700",
                                          "--save",
                                          "",
                                          "--appendonly",
                                          "no",
                                          "--dir",
                                          dir.Path().string(),
                                          "--logfile",
                                          dir.File("redis.log")};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, "redis-server", nullptr, nullptr, argv.data(), environ) != 0)
    {
        pid = -1;
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end)
    {
        const std::string answer = Command({"PING"});
        if (answer == "PONG" || answer.find("NOAUTH") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void RedisServer::Stop()
{
    if (pid <= 0)
        return;
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
    std::error_code ignored;
    std::filesystem::remove(socket, ignored);
}

void RedisServer::Freeze()
{
    if (pid > 0)
        kill(pid, SIGSTOP);
}

void RedisServer::Thaw()
{
    if (pid > 0)
        kill(pid, SIGCONT);
}

std::string RedisServer::Command(const std::vector<std::string>& words) const
{
    const timeval timeout{2, 0};
    redisContext* context = redisConnectUnixWithTimeout(socket.c_str(), timeout);
    if (!context || context->err)
    {
        const std::string why = context ? context->errstr : "no context";
        redisFree(context);
        return "(cannot connect) " + why;
    }
    redisSetTimeout(context, timeout);
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const std::string& word : words)
    {
        argv.push_back(word.data());
        lengths.push_back(word.size());
    }
    auto* reply = static_cast<redisReply*>(
        redisCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data()));
    const std::string text = TextOf(reply);
    freeReplyObject(reply);
    redisFree(context);
    return text;
}

} // namespace testing_support
