#pragma once
#include <string>

// The trace writes its file as LocalSystem. Its default folder is one every account expands
// alike and that only the system and administrators may change; another folder is checked.
extern const wchar_t kDefaultTracePath[];

// Readies the folder of path (as stored, %VARIABLES% unexpanded) for the trace: the default
// folder is created with the protected access list, and one found there must pass the same
// check as the library's saved copies (false, with error, when it does not); any other folder
// only sets warning when ordinary users may create files in it.
bool PrepareTraceFolder(const std::wstring& path, std::wstring& warning, std::wstring& error);
