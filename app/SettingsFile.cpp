#include "app/SettingsFile.h"

#include <fstream>
#include <string_view>
#include <utility>

// All streams are opened in text mode: on Windows a line break is CR LF in the file and a single
// line feed in memory.

namespace
{

bool LineMatches(const std::string& line, const std::string& key)
{
    const std::string_view keySide = std::string_view(line).substr(0, line.find('='));
    return keySide.find(key) != std::string_view::npos;
}

// The value a line gives for its key: the text after its first "=", or the whole line.
std::string ValueOf(const std::string& line)
{
    const std::size_t separator = line.find('=');
    return separator == std::string::npos ? line : line.substr(separator + 1);
}

} // namespace

SettingsFile::SettingsFile(std::string fileName) : fileName(std::move(fileName))
{
    if (std::ifstream(this->fileName).is_open())
        return;
    std::ofstream create(this->fileName);
}

bool SettingsFile::HasKey(std::string key)
{
    std::ifstream in(fileName);
    if (!in.is_open())
        return false;
    while (std::getline(in, currentLine))
    {
        if (LineMatches(currentLine, key))
            return true;
    }
    return false;
}

std::string SettingsFile::GetValue(std::string key)
{
    std::string value;
    if (!HasKey(key))
        return value;
    std::ifstream in(fileName);
    if (!in.is_open())
        return value;
    while (std::getline(in, currentLine))
    {
        if (LineMatches(currentLine, key))
            value = ValueOf(currentLine);
    }
    return value;
}

bool SettingsFile::SetValue(std::string key, std::string value)
{
    if (!HasKey(key))
    {
        std::ofstream out(fileName, std::ios::app);
        if (!out.is_open())
            return false;
        out << key << '=' << value << '\n';
        return true;
    }

    // Rewrite in place. The file is read back first: if it cannot be opened again (removed or
    // locked since HasKey looked at it), nothing is truncated.
    std::ifstream in(fileName);
    if (!in.is_open())
        return false;
    std::string output;
    while (std::getline(in, currentLine))
    {
        if (LineMatches(currentLine, key))
        {
            const std::size_t separator = currentLine.find('=');
            if (separator == std::string::npos)
                currentLine = value;
            else
                currentLine.replace(separator + 1, std::string::npos, value);
        }
        output += currentLine;
        output += '\n';
    }

    std::ofstream out(fileName, std::ios::trunc);
    if (!out.is_open())
        return false;
    out.write(output.data(), static_cast<std::streamsize>(output.size()));
    return true;
}
