#include "common/MoveFileOver.h"

#include "common/TemporaryFile.h"

bool ReplaceFileContent(const std::string& path, const std::string& content, std::string& error)
{
    // The new content goes to a file of its own beside the old one, which it then replaces: a
    // write that fails (a full disk) leaves the old file whole, and the new file is removed.
    TemporaryFile temporary(path);
    if (temporary.Created() && temporary.Write(TemporaryFile::AsText(content)) &&
        temporary.MoveOver(path))
        return true;
    error = temporary.Problem();
    return false;
}

bool ReplaceFileContent(const std::string& path, const std::string& content)
{
    std::string unused;
    return ReplaceFileContent(path, content, unused);
}
