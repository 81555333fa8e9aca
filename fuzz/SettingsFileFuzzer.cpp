// The settings file with arbitrary contents and an arbitrary key and value: HasKey, GetValue and
// SetValue must agree with the file's lines, and a rewrite must keep every line that did not
// match the key exactly as it was.

#include "app/SettingsFile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

// The lines as the settings file reads them: split at line feeds, a last line without one kept.
std::vector<std::string> LinesOf(const std::string& content)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size())
    {
        const std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
        {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool Matches(const std::string& line, const std::string& key)
{
    return line.substr(0, line.find('=')).find(key) != std::string::npos;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path =
        "/tmp/ostrel-settings-fuzz-" + std::to_string(getpid()) + ".dat";
    FuzzedDataProvider provider(data, size);
    const std::string key = provider.ConsumeRandomLengthString(16);
    const std::string value = provider.ConsumeRandomLengthString(32);
    const std::string content = provider.ConsumeRemainingBytesAsString();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }

    const std::vector<std::string> lines = LinesOf(content);
    bool matched = false;
    bool changed = false;
    std::string lastValue;
    std::string rewritten;
    for (const auto& line : lines)
    {
        if (Matches(line, key))
        {
            matched = true;
            const std::size_t separator = line.find('=');
            lastValue = separator == std::string::npos ? line : line.substr(separator + 1);
            const std::string now =
                separator == std::string::npos ? value : line.substr(0, separator + 1) + value;
            changed = changed || now != line;
            rewritten += now + "\n";
        }
        else
        {
            rewritten += line + "\n";
        }
    }

    SettingsFile settings(path);
    if (settings.HasKey(key) != matched)
        __builtin_trap();
    if (settings.GetValue(key) != (matched ? lastValue : ""))
        __builtin_trap();
    if (!settings.SetValue(key, value))
        __builtin_trap();
    const std::string after = ReadAll(path);
    // Lines that did not match are kept as they were; matching ones carry the new value; every
    // line ends with a line break. When no value changes, the file is not touched. Without a
    // match the entry is appended on a line of its own.
    const bool breakFirst = !content.empty() && content.back() != '\n';
    const std::string appended = content + (breakFirst ? "\n" : "") + key + "=" + value + "\n";
    if (after != (!matched ? appended : changed ? rewritten : content))
        __builtin_trap();
    return 0;
}
