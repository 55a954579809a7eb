#pragma once
#include <windows.h>

// Operations on whole directory trees for the backup and restore of the product's data.
// Paths have no trailing backslash. Each reports by bool, traces every failure and leaves
// the Windows error of a failure for GetLastError.

// Creates path and every missing parent; true when the directory exists afterwards.
// GetLastError then tells the outcome of the first attempt (183 for an existing one).
bool CreateDir(const wchar_t* path);
// Copies the tree below source into destination (created with its parents), overwriting
// files there, read-only ones included. A missing source copies nothing and is no failure.
// False when any entry failed; the walk goes on past failures. A destination inside the
// source is refused (87), and a file copy that fails leaves no new partial file behind.
bool CopyDir(const wchar_t* source, const wchar_t* destination);
// Deletes everything below path, read-only files included, and with removeSelf the
// directory itself; the result is then whether that last removal succeeded. Without it,
// true when every entry was removed. The walk goes on past failures.
bool RemoveDir(const wchar_t* path, bool removeSelf);
// Whether path names directory itself or something below it (full paths, case ignored).
bool IsSameOrInsideDir(const wchar_t* path, const wchar_t* directory);
