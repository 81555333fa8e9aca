#pragma once

#include <string>

// Puts the file at from in the place of the file at to, replacing it in one step: a reader sees
// either the old file or the new one, never a part. False when that cannot be done; both files
// are then as they were.
bool MoveFileOver(const std::string& from, const std::string& to);

// Writes content (in text mode) to a new file beside path, flushes it to disk and moves it over
// path: readers see the old content or the new, and a write that fails leaves the old file whole
// and nothing beside it. The new file is made under a name of its own and only where nothing is
// yet (see TemporaryFile), so that nothing planted beside path is ever written through; it keeps
// the permissions of the file it replaces. False on failure, with why (the step that failed and
// the system's reason) in error.
bool ReplaceFileContent(const std::string& path, const std::string& content, std::string& error);
// The same, for a caller that has no use for the reason.
bool ReplaceFileContent(const std::string& path, const std::string& content);
