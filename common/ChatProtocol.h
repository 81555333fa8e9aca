#pragma once

// The chat protocol on top of the packet framing: builders for the packets the client sends,
// the pieces of a chat line, and the reading of the payloads it receives. Kept free of any window
// so that the host build tests it and the fuzzers read packets exactly as the client does.

#include "net/Packet.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace ChatProtocol
{

// The message edit box accepts at most this many characters.
constexpr std::size_t MaxMessageChars = 200;

// Longest text that fits in a packet holding one text field: the limit less the type and count.
constexpr std::size_t MaxTextBytes = oNet::MaxPacketSize - 6;

// Whether the text holds a control character (a byte below 0x20, or 0x7F: escape, backspace, a
// line break...), which a reader's screen would act on rather than show. Nothing passed on to a
// member may hold one.
bool HoldsControlBytes(std::string_view text);

// A packet of the given type carrying one text field. Throws PacketException when the text does
// not fit.
std::shared_ptr<oNet::Packet> MakeTextPacket(oNet::PacketType type, const std::string& text);

// "[HH:MM:SS]" from a local broken-down time, each number with a leading zero below 10.
std::string FormatTimestamp(const std::tm& localTime);

// timestamp + " [" + nickname + "]: " + message, exactly as it goes on the wire.
std::string ComposeChatLine(const std::string& timestamp, const std::string& nickname,
                            const std::string& message);

// Whether a chat line is one of the server's own ("[12:00:01] [SERVER]: ..."): its sender, the
// bracket group after the time's, holds "SERVER", which no nickname may.
bool IsServerLine(const std::string& line);

// The seed for the generated nickname: the time, the process id and a tick count mixed, so that
// programs started in the same second still draw different names.
unsigned NicknameSeed(std::uint64_t seconds, std::uint32_t processId, std::uint32_t ticks);

// "User#" followed by (randomValue mod 99999) + 10000; for the C library's range of 0..32767
// that is 10000..42767.
std::string GeneratedNickname(int randomValue);

// Reads an IntegerArray payload and writes "Array Size: N" and one "Element[i] - V" line per
// value as it goes. Throws PacketException when the payload ends early; the lines for the values
// read before that have been written.
void WriteIntegerArray(oNet::Packet& packet, std::ostream& out);

} // namespace ChatProtocol
