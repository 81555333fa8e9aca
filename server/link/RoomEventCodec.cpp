#include "server/link/RoomEventCodec.h"

#include "common/ChatProtocol.h"
#include "common/NicknameRule.h"
#include "server/room/ChatRules.h"

#include <algorithm>

namespace RoomEventCodec
{

namespace
{

using Kind = RoomEvent::Kind;

// Room for "[HH:MM:SS] [SERVER]: " before a server line's text.
constexpr std::size_t MaxServerText = ChatProtocol::MaxTextBytes - 21;
constexpr std::size_t MaxNodeBytes = 64;
constexpr std::size_t MaxAddressBytes = 64;

const std::pair<Kind, const char*> kindNames[] = {
    {Kind::Joined, "joined"}, {Kind::Renamed, "renamed"},   {Kind::Left, "left"},
    {Kind::Line, "line"},     {Kind::Said, "said"},         {Kind::Kicked, "kicked"},
    {Kind::Banned, "banned"}, {Kind::Unbanned, "unbanned"},
};

const LeaveReason leaveReasons[] = {
    LeaveReason::Left,     LeaveReason::Flooding, LeaveReason::TooSlow, LeaveReason::Timeout,
    LeaveReason::BadInput, LeaveReason::Kicked,   LeaveReason::Banned,  LeaveReason::TurnedAway,
};

bool ParseNumber(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(text);
    return true;
}

// The fields of one entry by name, each once. Looked at in place: an entry has a few fields.
class Reader
{
public:
    Reader(const FieldViews& fields, std::string& problem) : fields(fields), problem(problem)
    {
        if (fields.size() > MaxFields)
        {
            Fail("the entry has more than " + std::to_string(MaxFields) + " fields");
            return;
        }
        for (std::size_t i = 0; i < fields.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (fields[i].first == fields[j].first)
                    Fail("the field " + Shown(fields[i].first) + " comes twice");
    }

    bool Ok() const { return problem.empty(); }
    void Fail(const std::string& why)
    {
        if (problem.empty())
            problem = why;
    }

    // A text without control characters of at most maxBytes; empty only when allowed.
    std::string Text(std::string_view name, std::size_t maxBytes, bool mayBeEmpty = false)
    {
        const auto found = std::find_if(fields.begin(), fields.end(),
                                        [&](const auto& field) { return field.first == name; });
        if (found == fields.end())
        {
            if (!mayBeEmpty)
                Fail("the field " + std::string(name) + " is missing");
            return "";
        }
        const std::string_view text = found->second;
        if (text.empty() && !mayBeEmpty)
            Fail("the field " + std::string(name) + " is empty");
        else if (text.size() > maxBytes)
            Fail("the field " + std::string(name) + " is longer than " + std::to_string(maxBytes) +
                 " bytes");
        else if (ChatProtocol::HoldsControlBytes(text))
            Fail("the field " + std::string(name) + " holds control characters");
        return std::string(text);
    }

    std::uint64_t Number(std::string_view name)
    {
        std::uint64_t value = 0;
        const std::string text = Text(name, 20);
        if (Ok() && !ParseNumber(text, value))
            Fail("the field " + std::string(name) + " is not a number: " + Shown(text));
        return value;
    }

    std::string Name(std::string_view field)
    {
        const std::string name = Text(field, NicknameRule::MaxBytes);
        const std::string why = Ok() ? NicknameRule::Problem(name) : "";
        if (!why.empty())
            Fail("the field " + std::string(field) + " is no usable nickname: " + why);
        return name;
    }

    static std::string Shown(std::string_view text)
    {
        std::string shown;
        for (char c : text.substr(0, 40))
            shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
        return "\"" + shown + (text.size() > 40 ? "...\"" : "\"");
    }

private:
    static constexpr std::size_t MaxFields = 64;

    const FieldViews& fields;
    std::string& problem;
};

void ReadMember(Reader& reader, RoomEvent& event)
{
    event.member.node = reader.Text("node", MaxNodeBytes);
    if (reader.Ok() && !NodeProblem(event.member.node).empty())
        reader.Fail("the field node is no node's name");
    event.member.id = reader.Number("id");
    if (reader.Ok() && event.member.id == 0)
        reader.Fail("the field id is 0");
    event.name = reader.Name("name");
}

void ReadAddress(Reader& reader, RoomEvent& event)
{
    event.address = reader.Text("address", MaxAddressBytes);
    const std::string ip = reader.Text("ip", MaxAddressBytes);
    if (!reader.Ok())
        return;
    if (event.address.find(' ') != std::string::npos)
        reader.Fail("the field address holds a space");
    // Only an address as it is written back counts (some systems read "1.2.3" as 1.2.0.3).
    asio::error_code error;
    event.ip = asio::ip::make_address(ip, error);
    if (error || event.ip.to_string() != ip)
        reader.Fail("the field ip is no address: " + Reader::Shown(ip));
    const std::uint64_t since = reader.Number("since");
    if (reader.Ok() && since > (std::uint64_t{1} << 40))
        reader.Fail("the field since is no time");
    event.since = static_cast<std::int64_t>(since);
}

void ReadDeparture(Reader& reader, RoomEvent& event)
{
    const std::string label = reader.Text("reason", 32);
    event.departure.detail = reader.Text("detail", MaxDetailBytes, true);
    if (!reader.Ok())
        return;
    const auto found =
        std::find_if(std::begin(leaveReasons), std::end(leaveReasons),
                     [&](LeaveReason reason) { return label == MetricLabel(reason); });
    if (found == std::end(leaveReasons))
        reader.Fail("the field reason is no way of leaving: " + Reader::Shown(label));
    else
        event.departure.reason = *found;
}

void ReadNetwork(Reader& reader, RoomEvent& event)
{
    const std::string text = reader.Text("network", 64);
    std::string why;
    if (reader.Ok() && !IpNetwork::Parse(text, event.network, why))
        reader.Fail("the field network: " + why);
}

void Add(Fields& fields, const char* name, const std::string& value)
{
    fields.emplace_back(name, value);
}

} // namespace

std::string NodeProblem(const std::string& node)
{
    if (node.empty())
        return "a node's name needs at least one character";
    if (node.size() > MaxNodeBytes)
        return "a node's name may be at most " + std::to_string(MaxNodeBytes) + " bytes long";
    if (ChatProtocol::HoldsControlBytes(node) || node.find(' ') != std::string::npos)
        return "a node's name may hold no spaces or control characters";
    return "";
}

Fields FieldsOf(const RoomEvent& event, const std::string& run, std::uint64_t number)
{
    Fields fields;
    for (const auto& kind : kindNames)
        if (kind.first == event.kind)
            Add(fields, "kind", kind.second);
    Add(fields, "origin", event.origin);
    Add(fields, "run", run);
    Add(fields, "number", std::to_string(number));
    const bool aboutMember =
        event.kind != Kind::Said && event.kind != Kind::Banned && event.kind != Kind::Unbanned;
    if (aboutMember)
    {
        Add(fields, "node", event.member.node);
        Add(fields, "id", std::to_string(event.member.id));
        Add(fields, "name", event.name);
    }
    switch (event.kind)
    {
    case Kind::Joined:
        Add(fields, "address", event.address);
        Add(fields, "ip", event.ip.to_string());
        Add(fields, "since", std::to_string(event.since));
        break;
    case Kind::Renamed:
        Add(fields, "old", event.oldName);
        break;
    case Kind::Left:
        Add(fields, "reason", MetricLabel(event.departure.reason));
        Add(fields, "detail", event.departure.detail);
        Add(fields, "note", event.note);
        break;
    case Kind::Line:
    case Kind::Said:
        Add(fields, "text", event.text);
        break;
    case Kind::Kicked:
    case Kind::Banned:
        Add(fields, "text", event.text);
        Add(fields, "note", event.note);
        Add(fields, "reason", MetricLabel(event.departure.reason));
        Add(fields, "detail", event.departure.detail);
        if (event.kind == Kind::Banned)
        {
            Add(fields, "network", event.network.ToString());
            if (event.until)
                Add(fields, "until", std::to_string(*event.until));
        }
        break;
    case Kind::Unbanned:
        Add(fields, "network", event.network.ToString());
        break;
    }
    return fields;
}

Fields Encode(const RoomEvent& event, const std::string& run, std::uint64_t number)
{
    return Pack(FieldsOf(event, run, number));
}

Fields Pack(const Fields& fields)
{
    std::string packed;
    for (const auto& field : fields)
        packed +=
            (packed.empty() ? "" : std::string(1, Separator)) + field.first + "=" + field.second;
    return {{"v", Version}, {"e", packed}};
}

bool Decode(const Fields& entry, Entry& decoded, std::string& problem)
{
    FieldViews views;
    views.reserve(entry.size());
    for (const auto& field : entry)
        views.emplace_back(field.first, field.second);
    return Decode(views, decoded, problem);
}

bool Decode(const FieldViews& entry, Entry& decoded, std::string& problem)
{
    problem.clear();
    decoded = Entry();
    Reader reader(entry, problem);
    const std::string version = reader.Text("v", 16);
    if (reader.Ok() && version != Version)
        reader.Fail("written in version " + Reader::Shown(version) +
                    " of the room's entries, not " + Version);
    const auto packed = std::find_if(entry.begin(), entry.end(),
                                     [](const auto& field) { return field.first == "e"; });
    if (reader.Ok() && packed == entry.end())
        reader.Fail("the field e is missing");
    if (!reader.Ok())
        return false;
    // Looked at where the entry holds them.
    FieldViews fields;
    const std::string_view all = packed->second;
    for (std::size_t start = 0; start <= all.size();)
    {
        const std::size_t end = std::min(all.find(Separator, start), all.size());
        const std::string_view field = all.substr(start, end - start);
        const std::size_t equals = field.find('=');
        if (equals == std::string_view::npos)
        {
            problem = "the field e holds " + Reader::Shown(field) + ", which is no name=value";
            return false;
        }
        fields.emplace_back(field.substr(0, equals), field.substr(equals + 1));
        start = end + 1;
    }
    return DecodeFields(fields, decoded, problem);
}

std::string Problem(const RoomEvent& event)
{
    Entry decoded;
    std::string problem;
    Decode(Encode(event, "-", 1), decoded, problem);
    return problem;
}

bool DecodeFields(const FieldViews& fields, Entry& entry, std::string& problem)
{
    problem.clear();
    entry = Entry();
    Reader reader(fields, problem);
    const std::string kind = reader.Text("kind", 16);
    RoomEvent& event = entry.event;
    const auto found = std::find_if(std::begin(kindNames), std::end(kindNames),
                                    [&](const auto& known) { return kind == known.second; });
    if (reader.Ok() && found == std::end(kindNames))
        reader.Fail("no kind of event: " + Reader::Shown(kind));
    if (!reader.Ok())
        return false;
    event.kind = found->first;
    event.origin = reader.Text("origin", MaxNodeBytes);
    if (reader.Ok() && !NodeProblem(event.origin).empty())
        reader.Fail("the field origin is no node's name");
    entry.run = reader.Text("run", 64);
    entry.number = reader.Number("number");
    if (reader.Ok() && entry.number == 0)
        reader.Fail("the field number is 0");

    switch (event.kind)
    {
    case Kind::Joined:
        ReadMember(reader, event);
        ReadAddress(reader, event);
        break;
    case Kind::Renamed:
        ReadMember(reader, event);
        event.oldName = reader.Name("old");
        break;
    case Kind::Left:
        ReadMember(reader, event);
        ReadDeparture(reader, event);
        event.note = reader.Text("note", MaxDetailBytes, true);
        break;
    case Kind::Line: {
        ReadMember(reader, event);
        event.text = reader.Text("text", ChatProtocol::MaxTextBytes);
        const std::string why = reader.Ok() ? ChatRules::ChatLineProblem(event.text, event.name,
                                                                         ChatProtocol::MaxTextBytes)
                                            : "";
        if (!why.empty())
            reader.Fail("the line is not one a member may say: " + why);
        break;
    }
    case Kind::Said:
        event.text = reader.Text("text", MaxServerText);
        break;
    case Kind::Kicked:
    case Kind::Banned:
        if (event.kind == Kind::Kicked)
            ReadMember(reader, event);
        event.text = reader.Text("text", MaxServerText);
        event.note = reader.Text("note", MaxDetailBytes, true);
        ReadDeparture(reader, event);
        if (event.kind == Kind::Banned)
        {
            ReadNetwork(reader, event);
            const std::string until = reader.Text("until", 20, true);
            std::uint64_t value = 0;
            if (reader.Ok() && !until.empty())
            {
                if (!ParseNumber(until, value) || value > (std::uint64_t{1} << 40))
                    reader.Fail("the field until is no time: " + Reader::Shown(until));
                else
                    event.until = static_cast<std::int64_t>(value);
            }
        }
        break;
    case Kind::Unbanned:
        ReadNetwork(reader, event);
        break;
    }
    return reader.Ok();
}

std::string EncodeMember(const RoomEvent& joined)
{
    // "1 SINCE IP ADDRESS NAME": the name last, since it may hold spaces.
    return std::string(Version) + " " + std::to_string(joined.since) + " " + joined.ip.to_string() +
           " " + joined.address + " " + joined.name;
}

bool DecodeMember(const std::string& node, const std::string& id, const std::string& value,
                  RoomEvent& joined, std::string& problem)
{
    // VERSION SINCE IP ADDRESS, then the name.
    std::string parts[4];
    std::size_t at = 0;
    for (std::string& part : parts)
    {
        const std::size_t space = value.find(' ', at);
        if (space == std::string::npos)
        {
            problem = "the member's entry " + Reader::Shown(value) + " is cut short";
            return false;
        }
        part = value.substr(at, space - at);
        at = space + 1;
    }
    if (parts[0] != Version)
    {
        problem = "the member's entry is written in version " + Reader::Shown(parts[0]);
        return false;
    }
    // The same checks as for a Joined entry of the stream.
    const Fields fields = {{"kind", "joined"},        {"origin", node}, {"run", "-"},
                           {"number", "1"},           {"node", node},   {"id", id},
                           {"since", parts[1]},       {"ip", parts[2]}, {"address", parts[3]},
                           {"name", value.substr(at)}};
    FieldViews views;
    for (const auto& field : fields)
        views.emplace_back(field.first, field.second);
    Entry entry;
    if (!DecodeFields(views, entry, problem))
        return false;
    joined = entry.event;
    return true;
}

std::string EncodeBan(const RoomEvent& banned)
{
    return (banned.until ? std::to_string(*banned.until) : std::string("-")) + " " +
           banned.departure.detail;
}

bool DecodeBan(const std::string& network, const std::string& value, RoomEvent& banned,
               std::string& problem)
{
    const std::size_t space = value.find(' ');
    if (space == std::string::npos)
    {
        problem = "the ban on " + Reader::Shown(network) + " is cut short";
        return false;
    }
    const std::string until = value.substr(0, space);
    const std::string reason = value.substr(space + 1);
    banned = RoomEvent();
    banned.kind = Kind::Banned;
    std::uint64_t end = 0;
    if (!IpNetwork::Parse(network, banned.network, problem))
        problem = "the ban on " + Reader::Shown(network) + ": " + problem;
    else if (until != "-" && (!ParseNumber(until, end) || end > (std::uint64_t{1} << 40)))
        problem = "the ban on " + network + " ends at no time: " + Reader::Shown(until);
    else if (reason.size() > MaxDetailBytes || ChatProtocol::HoldsControlBytes(reason))
        problem = "the ban on " + network + " has a reason that cannot be shown";
    else
        problem.clear();
    if (!problem.empty())
        return false;
    if (until != "-")
        banned.until = static_cast<std::int64_t>(end);
    banned.departure = {LeaveReason::Banned, reason};
    return true;
}

} // namespace RoomEventCodec
