#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

// Operations on whole directory trees for the backup and restore of the product's data.
// Paths have no trailing backslash. Each reports by bool, traces every failure and leaves
// the Windows error of a failure for GetLastError.

// Creates path and every missing parent; true when the directory exists afterwards.
// GetLastError then tells the outcome of the first attempt (183 for an existing one).
bool CreateDir(const wchar_t* path);
// Copies the tree below source into destination (created with its parents), overwriting
// files there, read-only ones included. A missing source copies nothing and is no failure.
// False when any entry failed; the walk goes on past failures, and failures (when given)
// receives the source path of each entry that was not copied. A destination inside the
// source is refused (87), and a file copy that fails leaves no new partial file behind.
// Links (junctions, symbolic links, mount points) are never followed: a level-1 line names
// each, and what it points to is not copied. Progress goes to CProgressReport, file by file;
// once a stop is requested no further file is copied (each a failure, 1223).
bool CopyDir(const wchar_t* source, const wchar_t* destination,
             std::vector<std::wstring>* failures = nullptr);
// Deletes everything below path, read-only files included, and with removeSelf the
// directory itself; the result is then whether that last removal succeeded. Without it,
// true when every entry was removed. The walk goes on past failures. A link is removed
// itself, never what it points to.
bool RemoveDir(const wchar_t* path, bool removeSelf);
// Whether path names directory itself or something below it (full paths, case ignored).
bool IsSameOrInsideDir(const wchar_t* path, const wchar_t* directory);
// Calls visit with each file below root (links not followed) until it returns false;
// false then. A missing root has no files.
bool ForEachFile(const wchar_t* root, const std::function<bool(const WIN32_FIND_DATAW&)>& visit);
