#include "util/UnlinkedFile.h"
#include "util/CUniqueHandle.h"

HANDLE CreateUnlinkedFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                          const wchar_t** why)
{
    CFileHandle file(CreateFileW(path, access, share, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file)
    {
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const wchar_t* reason = nullptr;
    if (!GetFileInformationByHandle(file.Get(), &information))
    {
        reason = L"its links cannot be counted";
    }
    else if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    {
        reason = L"it is a link";
    }
    else if (information.nNumberOfLinks > 1)
    {
        reason = L"it has more than one hard link";
    }
    if (!reason)
    {
        return file.Release();
    }
    if (why)
    {
        *why = reason;
    }
    file.Reset();
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
}
