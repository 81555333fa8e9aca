#pragma once

#include <string>

// Puts the file at from in the place of the file at to, replacing it in one step: a reader sees
// either the old file or the new one, never a part. False when that cannot be done; both files
// are then as they were.
bool MoveFileOver(const std::string& from, const std::string& to);

// Writes content (in text mode) to a file beside path and moves it over path: readers see the
// old content or the new, and a write that fails leaves the old file whole. False on failure.
bool ReplaceFileContent(const std::string& path, const std::string& content);
