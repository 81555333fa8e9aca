// The operator's command line: arbitrary lines run against a room of three members (one named
// with spaces, one unnamed) and a few bans, with time passing. Every answer is whole lines, a
// refusal one line; nothing a member is sent holds a control character; a long answer's pieces
// end; and the bans stay fit for the ban file, which reads them back as they are.

#include "NullStream.h"
#include "net/Endpoint.h"
#include "server/operator/BanFile.h"
#include "server/operator/OperatorCommands.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <ostream>

namespace
{

class Connection : public ChatParticipant
{
public:
    void Deliver(const Frame& frame) override
    {
        // A server line: its text after the type, the count and the time stamp.
        const std::string& bytes = *frame;
        if (bytes.size() >= 4 && bytes[2] == 0 && bytes[3] == 1 &&
            ChatProtocol::HoldsControlBytes(bytes.substr(8)))
            __builtin_trap();
    }
    void Disconnect() override {}
    void ContinueInput() override {}
};

void CheckLines(const std::string& text)
{
    if (!text.empty() && text.back() != '\n')
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    NullStream log;
    RoomOptions options;
    options.maxLineBytes =
        provider.ConsumeIntegralInRange<std::size_t>(64, ChatProtocol::MaxTextBytes);
    ChatRoom room(options, log);
    BanList bans;
    OperatorCommands commands(room, bans, "", options.maxLineBytes, log);
    auto now = ChatRoom::Clock::time_point{} + std::chrono::hours(1);
    std::time_t wallNow = 1'800'000'000;

    Connection connections[3];
    const char* names[] = {"Bob the Builder", "alice", ""};
    for (int i = 0; i < 3; ++i)
    {
        const auto ip = asio::ip::make_address_v4(0xC0000201u + static_cast<unsigned>(i));
        const auto id = room.Join(connections[i], ip.to_string() + ":1000", now, ip);
        if (*names[i])
        {
            oNet::Packet packet(oNet::PacketType::Nickname);
            packet << std::string(names[i]);
            room.Handle(id, packet, now);
        }
    }
    std::string error;
    IpNetwork network;
    for (const char* target : {"198.51.100.0/24", "2001:db8::/48", "203.0.113.7"})
    {
        IpNetwork::Parse(target, network, error);
        bans.Add({network, "seeded", std::nullopt});
    }

    while (provider.remaining_bytes() > 0)
    {
        now += std::chrono::milliseconds(provider.ConsumeIntegralInRange<int>(0, 1000));
        wallNow += provider.ConsumeIntegralInRange<int>(0, 100000);
        room.Tick(now);
        bans.DropEnded(wallNow, 4);
        const std::string line = provider.ConsumeRandomLengthString(600);
        auto answer = commands.Run(line, "fuzz", now, wallNow);
        CheckLines(answer.text);
        if (answer.text.empty() != oNet::Trim(line).empty())
            __builtin_trap();
        if (!answer.ok && answer.text.find('\n') != answer.text.size() - 1)
            __builtin_trap();
        for (int pieces = 0; answer.more; ++pieces)
        {
            const std::string piece = answer.more();
            if (piece.empty())
                break;
            if (pieces > 1000)
                __builtin_trap();
            CheckLines(piece);
        }
    }

    // Whatever the commands did, the ban file reads the bans back as they are.
    BanList read;
    std::vector<BanFileProblem> problems;
    BanFile::Parse(BanFile::Content(bans), 0, read, problems);
    if (!problems.empty() || !(read.All() == bans.All()))
        __builtin_trap();
    return 0;
}
