#include "common/MoveFileOver.h"

#include <cstdio>
#include <fstream>

bool ReplaceFileContent(const std::string& path, const std::string& content)
{
    // The new content goes to a file beside it, which then takes the old one's place: a write
    // that fails (a full disk) leaves the old file whole.
    const std::string temporary = path + ".tmp";
    std::ofstream out(temporary, std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (out.fail() || !MoveFileOver(temporary, path))
    {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
