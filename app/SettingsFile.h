#pragma once

#include <string>

// The key/value store of the settings file: text lines of key "=" value. Nothing of the file is
// kept in memory; every operation opens the file, reads or writes it and closes it again, so
// several instances on one file, and edits made by hand, are always seen.
//
// A line matches a key when the key occurs in the line's key side: the text before its first
// "=", or the whole line when it has none. (Searching the value too would let one entry take
// over another: a nickname containing "server" would be read as the server address.)
class SettingsFile
{
public:
    // How a line matches a key: the key within its key side, or (for the settings that decide
    // how the program connects, which no nickname may stand in for) the whole key side.
    enum class Match
    {
        InKeySide,
        ExactKey,
    };

    // Creates an empty file when none can be read.
    explicit SettingsFile(std::string fileName);

    // Whether some line matches the key; false also when the file cannot be read.
    bool HasKey(std::string key, Match match = Match::InKeySide);
    // The value of the last matching line: everything after its first "=", or the whole line
    // when it has none. Empty when the key is absent or the file cannot be read.
    std::string GetValue(std::string key, Match match = Match::InKeySide);
    // Rewrites every matching line with the new value, or appends key=value (on a line of its
    // own, also after a last line without a break) when no line matches. A rewrite goes to
    // fileName + ".tmp", which then replaces the file, and writes nothing when no value changes.
    // False, with the file as it was, when any step fails.
    bool SetValue(std::string key, std::string value, Match match = Match::InKeySide);
    // A switch, read by its exact key: "on" or "off" in any case, blanks around it allowed; off
    // when it is absent or empty. False, with a sentence for the user, for any other value.
    bool GetSwitch(const std::string& key, bool& on, std::string& problem);

    std::string fileName;
    std::string currentLine;
};
