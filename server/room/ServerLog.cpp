#include "server/room/ServerLog.h"

#include <ctime>
#include <ostream>

void WriteLogLine(std::ostream& log, const std::string& text)
{
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    log << '[' << stamp << "] " << text << std::endl;
}

std::string Plural(std::size_t count, const std::string& one, const std::string& many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}
