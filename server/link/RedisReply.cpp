#include "server/link/RedisReply.h"

#include <hiredis/hiredis.h>
#include <hiredis/read.h>

namespace RedisReply
{

namespace
{

// hiredis's own way of making replies, with a bound on arrays' lengths.
redisReplyObjectFunctions bounded;
void* (*createAnyArray)(const redisReadTask*, int) = nullptr;

void* CreateBoundedArray(const redisReadTask* task, int elements)
{
    if (elements > MostArrayElements)
        return nullptr;
    return createAnyArray(task, elements);
}

} // namespace

void BoundArrays(redisReader* reader)
{
    // Every reader starts with hiredis's default functions: they are copied once, on first use.
    static const bool made = [reader] {
        bounded = *reader->fn;
        createAnyArray = bounded.createArray;
        bounded.createArray = CreateBoundedArray;
        return true;
    }();
    (void)made;
    reader->fn = &bounded;
}

std::string Text(Reply reply)
{
    return reply && reply->str &&
                   (reply->type == REDIS_REPLY_STRING || reply->type == REDIS_REPLY_STATUS ||
                    reply->type == REDIS_REPLY_ERROR)
               ? std::string(reply->str, reply->len)
               : "";
}

bool IsError(Reply reply)
{
    return reply && reply->type == REDIS_REPLY_ERROR;
}

bool IsNil(Reply reply)
{
    return reply && reply->type == REDIS_REPLY_NIL;
}

bool IsString(Reply reply)
{
    return reply && (reply->type == REDIS_REPLY_STRING || reply->type == REDIS_REPLY_STATUS);
}

bool IsInteger(Reply reply)
{
    return reply && reply->type == REDIS_REPLY_INTEGER;
}

bool IsArray(Reply reply)
{
    return reply && reply->type == REDIS_REPLY_ARRAY;
}

bool IsArray(Reply reply, std::size_t elements)
{
    return IsArray(reply) && reply->elements == elements;
}

bool HoldsValue(Reply reply)
{
    return IsNil(reply) || (reply && reply->type == REDIS_REPLY_STRING);
}

std::string Refusal(Reply reply)
{
    if (!reply)
        return "no answer";
    if (reply->type == REDIS_REPLY_ERROR)
        return Text(reply).empty() ? "an error without a message" : Text(reply);
    return "an answer of an unexpected kind (" + std::to_string(reply->type) + ")";
}

std::map<std::string, Reply> Pairs(Reply reply)
{
    std::map<std::string, Reply> pairs;
    if (!IsArray(reply))
        return pairs;
    for (std::size_t i = 0; i + 1 < reply->elements; i += 2)
        if (IsString(reply->element[i]))
            pairs[Text(reply->element[i])] = reply->element[i + 1];
    return pairs;
}

bool EntryOf(Reply entry, std::string& id, RoomEventCodec::FieldViews& fields)
{
    if (!IsArray(entry, 2) || !IsString(entry->element[0]))
        return false;
    id = Text(entry->element[0]);
    const Reply values = entry->element[1];
    if (!IsArray(values) || values->elements % 2 != 0)
        return false;
    fields.clear();
    for (std::size_t i = 0; i < values->elements; i += 2)
    {
        if (!IsString(values->element[i]) || !IsString(values->element[i + 1]))
            return false;
        fields.emplace_back(
            std::string_view(values->element[i]->str, values->element[i]->len),
            std::string_view(values->element[i + 1]->str, values->element[i + 1]->len));
    }
    return true;
}

Reply StreamEntries(Reply reply)
{
    if (!IsArray(reply, 1) || !IsArray(reply->element[0], 2))
        return nullptr;
    const Reply entries = reply->element[0]->element[1];
    return IsArray(entries) ? entries : nullptr;
}

std::pair<std::uint64_t, std::uint64_t> IdOf(const std::string& id)
{
    const std::size_t dash = id.find('-');
    const std::string parts[2] = {id.substr(0, dash),
                                  dash == std::string::npos ? "0" : id.substr(dash + 1)};
    std::uint64_t numbers[2] = {0, 0};
    for (int i = 0; i < 2; ++i)
    {
        if (parts[i].empty() || parts[i].size() > 19 ||
            parts[i].find_first_not_of("0123456789") != std::string::npos)
            return {0, 0};
        numbers[i] = std::stoull(parts[i]);
    }
    return {numbers[0], numbers[1]};
}

StreamInfo InfoOf(Reply reply)
{
    StreamInfo info;
    const auto fields = Pairs(reply);
    const auto text = [&](const char* name) {
        const auto found = fields.find(name);
        return found != fields.end() && IsString(found->second) ? Text(found->second) : "";
    };
    const auto number = [&](const char* name, std::uint64_t& value) {
        const auto found = fields.find(name);
        if (found == fields.end() || !IsInteger(found->second) || found->second->integer < 0)
            return false;
        value = static_cast<std::uint64_t>(found->second->integer);
        return true;
    };
    info.lastId = text("last-generated-id");
    info.firstId = text("recorded-first-entry-id");
    const bool length = number("length", info.length);
    const bool added = number("entries-added", info.entriesAdded);
    info.counted = length && added;
    return info;
}

} // namespace RedisReply
