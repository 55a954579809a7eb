#pragma once
#include <string>

// A folder and a name below it, one backslash between them: the one place where the
// library builds a file path from its parts.
inline std::wstring JoinPath(const std::wstring& folder, const std::wstring& name)
{
    return folder + L"\\" + name;
}
