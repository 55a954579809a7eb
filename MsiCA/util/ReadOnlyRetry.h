#pragma once
#include <windows.h>

// Runs operation (a file call on path that returns non-zero on success). When it is refused
// with access denied because path is read-only, the read-only attribute is cleared, the
// other attributes kept, and the operation runs once more; if that fails too, the attribute
// is put back. GetLastError tells the reason of a failure.
template <class Operation>
bool RetryWithoutReadOnly(const wchar_t* path, Operation&& operation)
{
    if (operation())
    {
        return true;
    }
    const DWORD error = GetLastError();
    const DWORD attributes =
        error == ERROR_ACCESS_DENIED ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        !SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY))
    {
        SetLastError(error);
        return false;
    }
    if (operation())
    {
        return true;
    }
    const DWORD retryError = GetLastError();
    SetFileAttributesW(path, attributes);
    SetLastError(retryError);
    return false;
}
