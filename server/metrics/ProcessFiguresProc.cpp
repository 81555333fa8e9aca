// The process's figures from /proc: its status line, the system's boot time and its open files.

#include "server/metrics/ProcessFigures.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace
{

std::string ReadAll(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The fields of /proc/self/stat after the program's name, which may hold spaces and brackets
// itself: the first here is the state, the third field of the line.
std::vector<std::string> StatFields()
{
    const std::string line = ReadAll("/proc/self/stat");
    const std::size_t nameEnd = line.rfind(')');
    std::vector<std::string> fields;
    if (nameEnd == std::string::npos)
        return fields;
    std::istringstream rest(line.substr(nameEnd + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

// Seconds since 1970 at which the system started, from /proc/stat; 0 when unknown.
double BootTime()
{
    std::istringstream in(ReadAll("/proc/stat"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("btime ", 0) == 0)
            return std::stod(line.substr(6));
    return 0;
}

// Entries of /proc/self/fd, less the one listing them.
bool CountOpenFiles(std::uint64_t& count)
{
    DIR* directory = opendir("/proc/self/fd");
    if (!directory)
        return false;
    count = 0;
    const std::string own = std::to_string(dirfd(directory));
    while (const dirent* entry = readdir(directory))
        if (entry->d_name[0] != '.' && own != entry->d_name)
            ++count;
    closedir(directory);
    return true;
}

// The figures, or nothing when a file cannot be read; throws when a field is no number.
std::optional<ProcessFigures> ReadFromProc()
{
    // Counted from the state, the third field: utime 14, stime 15, starttime 22, rss 24.
    const std::vector<std::string> fields = StatFields();
    if (fields.size() < 22)
        return std::nullopt;
    auto field = [&](std::size_t number) { return std::stod(fields[number - 3]); };
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double boot = BootTime();
    ProcessFigures figures;
    if (ticks <= 0 || boot <= 0 || !CountOpenFiles(figures.openFiles))
        return std::nullopt;
    figures.cpuSeconds = (field(14) + field(15)) / ticks;
    figures.startTime = boot + field(22) / ticks;
    figures.residentBytes =
        static_cast<std::uint64_t>(field(24)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    return figures;
}

} // namespace

std::optional<ProcessFigures> ReadProcessFigures()
{
    try
    {
        return ReadFromProc();
    }
    catch (const std::exception&)
    {
        return std::nullopt; // a field that is no number: nothing rather than a wrong figure
    }
}
