#include "common/MoveFileOver.h"

#include <windows.h>

namespace
{

// Paths are narrow texts in the system's ANSI code page.
std::wstring Wide(const std::string& path)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(size > 0 ? size : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), size);
    wide.resize(wide.size() - 1);
    return wide;
}

} // namespace

bool MoveFileOver(const std::string& from, const std::string& to)
{
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
