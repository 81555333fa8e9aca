#include "app/SettingsFile.h"

#include "common/MoveFileOver.h"
#include "net/Endpoint.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string_view>
#include <utility>

// All streams are opened in text mode: on Windows a line break is CR LF in the file and a single
// line feed in memory.

namespace
{

bool LineMatches(const std::string& line, const std::string& key, SettingsFile::Match match)
{
    const std::string_view keySide = std::string_view(line).substr(0, line.find('='));
    if (match == SettingsFile::Match::ExactKey)
        return keySide == key && line.find('=') != std::string::npos;
    return keySide.find(key) != std::string_view::npos;
}

// The value a line gives for its key: the text after its first "=", or the whole line.
std::string ValueOf(const std::string& line)
{
    const std::size_t separator = line.find('=');
    return separator == std::string::npos ? line : line.substr(separator + 1);
}

// Whether the file has content whose last byte is not a line break (a file saved by hand may
// end so); an entry appended to it would otherwise join its last line.
bool LacksFinalBreak(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary | std::ios::ate);
    if (!in.is_open() || in.tellg() <= 0)
        return false;
    in.seekg(-1, std::ios::end);
    char last = '\0';
    return in.get(last) && last != '\n';
}

// Whether the file may be written: one the user made read-only is left alone.
bool Writable(const std::string& fileName)
{
    return std::ofstream(fileName, std::ios::app).is_open();
}

} // namespace

SettingsFile::SettingsFile(std::string fileName) : fileName(std::move(fileName))
{
    if (std::ifstream(this->fileName).is_open())
        return;
    std::ofstream create(this->fileName);
}

bool SettingsFile::HasKey(std::string key, Match match)
{
    std::ifstream in(fileName);
    if (!in.is_open())
        return false;
    while (std::getline(in, currentLine))
    {
        if (LineMatches(currentLine, key, match))
            return true;
    }
    return false;
}

std::string SettingsFile::GetValue(std::string key, Match match)
{
    std::string value;
    if (!HasKey(key, match))
        return value;
    std::ifstream in(fileName);
    if (!in.is_open())
        return value;
    while (std::getline(in, currentLine))
    {
        if (LineMatches(currentLine, key, match))
            value = ValueOf(currentLine);
    }
    return value;
}

bool SettingsFile::SetValue(std::string key, std::string value, Match match)
{
    if (!HasKey(key, match))
    {
        const bool breakFirst = LacksFinalBreak(fileName);
        std::ofstream out(fileName, std::ios::app);
        if (!out.is_open())
            return false;
        if (breakFirst)
            out << '\n';
        out << key << '=' << value << '\n';
        out.close();
        return !out.fail();
    }

    // The file is read back first: if it cannot be opened again (removed or locked since HasKey
    // looked at it), nothing is written.
    std::ifstream in(fileName);
    if (!in.is_open())
        return false;
    std::string output;
    bool changed = false;
    while (std::getline(in, currentLine))
    {
        if (LineMatches(currentLine, key, match))
        {
            const std::string before = currentLine;
            const std::size_t separator = currentLine.find('=');
            if (separator == std::string::npos)
                currentLine = value;
            else
                currentLine.replace(separator + 1, std::string::npos, value);
            changed = changed || currentLine != before;
        }
        output += currentLine;
        output += '\n';
    }
    in.close();
    // The same value again (the window stores the stored nickname at every start): no write.
    if (!changed)
        return true;
    return Writable(fileName) && ReplaceFileContent(fileName, output);
}

bool SettingsFile::GetSwitch(const std::string& key, bool& on, std::string& problem)
{
    std::string value = oNet::Trim(GetValue(key, Match::ExactKey));
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    on = value == "on";
    if (on || value.empty() || value == "off")
        return true;
    problem = "The setting " + key + "= in data.dat takes on or off, not \"" + value + "\".";
    return false;
}
