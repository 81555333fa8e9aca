#include "server/room/LocalLink.h"

void LocalLink::Publish(RoomEvent event)
{
    if (event.kind == RoomEvent::Kind::Renamed &&
        !NicknameRule::SameName(event.oldName, event.name))
        Release(event.member.id, event.oldName);
    else if (event.kind == RoomEvent::Kind::Left)
        Release(event.member.id, event.name);
    listener->Apply(event);
    if (event.kind == RoomEvent::Kind::Line)
        history.Add(event.frame);
}

void LocalLink::Claim(MemberId id, const std::string& name)
{
    const auto held = holders.emplace(name, id);
    listener->Claimed(id, name, held.second || held.first->second == id);
}

void LocalLink::Release(MemberId id, const std::string& name)
{
    const auto held = holders.find(name);
    if (held != holders.end() && held->second == id)
        holders.erase(held);
}
