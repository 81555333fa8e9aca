// Building and parsing packets, against the physical cost of the same work: the same bytes
// copied in and out with memcpy, and for a small packet also one shared allocation of its size,
// since allocation is most of what a small packet costs. The references copy between buffers
// aligned alike, the fastest way to move the bytes: copying to and from an odd offset, as the
// packet's layout has it, can cost ten times as much on this machine's memcpy, which would make
// a poor reference.

#include "bench/RatioReporter.h"
#include "net/Packet.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

const std::string chatLine = "[12:34:56] [Alice]: see you at the station at nine";
const std::string bigText(oNet::MaxPacketSize - 6, 'x');

// Builds a packet carrying the text, as a sender does, and reads the text back, as the
// receiver's handler does.
void BuildAndParse(benchmark::State& state, const std::string& text)
{
    std::string back;
    back.reserve(text.size());
    for (auto _ : state)
    {
        auto packet = std::make_shared<oNet::Packet>(oNet::PacketType::ChatMessage);
        *packet << text;
        *packet >> back;
        benchmark::DoNotOptimize(back.data());
        benchmark::ClobberMemory();
    }
}

// The same bytes moved into a wire buffer and out again.
void CopyInAndOut(benchmark::State& state, const std::string& text)
{
    std::vector<char> wire(text.size());
    std::string back(text.size(), '\0');
    for (auto _ : state)
    {
        std::memcpy(wire.data(), text.data(), text.size());
        benchmark::ClobberMemory();
        std::memcpy(back.data(), wire.data(), text.size());
        benchmark::DoNotOptimize(back.data());
        benchmark::ClobberMemory();
    }
}

// One shared allocation of the packet's size per message, plus the same two copies.
void AllocateAndCopy(benchmark::State& state, const std::string& text)
{
    std::string back(text.size(), '\0');
    for (auto _ : state)
    {
        auto wire = std::shared_ptr<char>(new char[text.size() + 6], std::default_delete<char[]>());
        std::memcpy(wire.get(), text.data(), text.size());
        benchmark::ClobberMemory();
        std::memcpy(back.data(), wire.get(), text.size());
        benchmark::DoNotOptimize(back.data());
        benchmark::ClobberMemory();
    }
}

void ChatLinePacket(benchmark::State& state)
{
    BuildAndParse(state, chatLine);
}
void ChatLineMemcpy(benchmark::State& state)
{
    CopyInAndOut(state, chatLine);
}
void ChatLineAllocationAndMemcpy(benchmark::State& state)
{
    AllocateAndCopy(state, chatLine);
}
void LargestPacket(benchmark::State& state)
{
    BuildAndParse(state, bigText);
}
void LargestMemcpy(benchmark::State& state)
{
    CopyInAndOut(state, bigText);
}

BENCHMARK(ChatLinePacket);
BENCHMARK(ChatLineMemcpy);
BENCHMARK(ChatLineAllocationAndMemcpy);
BENCHMARK(LargestPacket);
BENCHMARK(LargestMemcpy);

} // namespace

int main(int argc, char** argv)
{
    return RunAndReportRatios(argc, argv,
                              {{"ChatLinePacket", "ChatLineMemcpy"},
                               {"ChatLinePacket", "ChatLineAllocationAndMemcpy"},
                               {"LargestPacket", "LargestMemcpy"}});
}
