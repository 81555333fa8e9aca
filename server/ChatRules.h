#pragma once

#include <string>
#include <vector>

// The server's rules for nicknames and chat lines, apart from any socket.
namespace ChatRules
{

constexpr std::size_t MaxNicknameBytes = 32;

// Empty when the name may be used (ignoring whether someone else has it); otherwise the reason,
// as a sentence to show the user. A valid name is 1 to 32 bytes, has no control characters, no
// "[" or "]", and does not contain "SERVER".
std::string NicknameProblem(const std::string& name);

// Whether two names are the same apart from letter case.
bool SameName(const std::string& a, const std::string& b);

// Whether the line has the form a client sends: "[HH:MM:SS] [NAME]: text" with NAME exactly the
// given nickname (the text may be empty).
bool IsChatLineFrom(const std::string& line, const std::string& nickname);

// The users-online text: the names sorted without regard to case, one per line, CR LF between
// them. A list too long for one packet ends with a line saying how many more there are.
std::string UsersOnlineText(std::vector<std::string> names, std::size_t maxBytes);

} // namespace ChatRules
