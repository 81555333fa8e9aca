#include "server/room/RecentLines.h"

void RecentLines::Add(const Frame& line)
{
    if (most == 0 || !line)
        return;
    frames.push_back(line);
    if (frames.size() > most)
        frames.pop_front();
}
