#pragma once

// The one rule for nicknames, used wherever a name is chosen or checked: the client's nickname
// dialog, the client's start-up for a stored name, and the server. A name that breaks it would
// break every chat line it appears in, or dress its owner as the server.

#include <cstddef>
#include <string>

namespace NicknameRule
{

constexpr std::size_t MaxBytes = 32;

// Empty when the name may be used (whether someone else has it aside); otherwise the reason, as
// a sentence to show the user. A usable name is 1 to 32 bytes, holds no control characters and
// no "[" or "]", is not "SERVER" in any mix of capitals and small letters, does not contain
// "SERVER" in capitals, and does not begin or end with a space.
std::string Problem(const std::string& name);

// Whether two names are the same apart from letter case: such names cannot both be in use.
bool SameName(const std::string& a, const std::string& b);

// The name with its letters in one case: names that are the SameName fold alike.
std::string Folded(const std::string& name);

// Orders names without regard to case (ASCII letters), for sorted lists and lookups.
bool LessIgnoringCase(const std::string& a, const std::string& b);

} // namespace NicknameRule
