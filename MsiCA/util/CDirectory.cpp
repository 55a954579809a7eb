#include "util/CDirectory.h"
#include "trace/CTrace.h"
#include "util/CUniqueHandle.h"
#include "util/ReadOnlyRetry.h"
#include "util/StringFormat.h"
#include <string>

#define DIR_TAG L"\nCDirectory          : "

namespace
{
constexpr size_t kParentBufferSize = 2048;
// How often a directory is tried again after its parents were created.
constexpr int kCreateRetries = 2;

std::wstring JoinPath(const wchar_t* directory, const wchar_t* name)
{
    std::wstring path;
    FormatString(path, L"%s\\%s", directory, name);
    return path;
}

bool IsDotEntry(const WIN32_FIND_DATAW& entry)
{
    return wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0;
}

bool IsDirectory(const WIN32_FIND_DATAW& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The first failure of a walk decides the error its caller sees.
class CWalkOutcome
{
  public:
    void Add(bool succeeded)
    {
        if (!succeeded && m_succeeded)
        {
            m_succeeded = false;
            m_error = GetLastError();
        }
    }
    bool Report() const
    {
        if (!m_succeeded)
        {
            SetLastError(m_error);
        }
        return m_succeeded;
    }

  private:
    bool m_succeeded = true;
    DWORD m_error = ERROR_SUCCESS;
};

bool CreateDirTrying(const wchar_t* path, int retriesLeft);

// Creates the parent of path (the text before its last backslash), and so every missing
// ancestor. The parent's text lives on the heap: a deep path recurses once per level.
bool CreateParent(const wchar_t* path)
{
    std::wstring parent(path, wcsnlen(path, kParentBufferSize - 1));
    wchar_t* lastBackslash = nullptr;
    for (wchar_t* character = &parent[0]; *character; character = CharNextW(character))
    {
        if (*character == L'\\')
        {
            lastBackslash = character;
        }
    }
    if (!lastBackslash)
    {
        return false;
    }
    *lastBackslash = L'\0';
    return CreateDirTrying(parent.c_str(), kCreateRetries);
}

bool CreateDirTrying(const wchar_t* path, int retriesLeft)
{
    if (!path || !*path)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    TRACE(4, DIR_TAG L"CreateDir (%s)", path);
    if (CreateDirectoryW(path, nullptr))
    {
        return true;
    }
    const DWORD error = GetLastError();
    bool exists = false;
    switch (error)
    {
    case ERROR_SUCCESS:
        TRACE(4, DIR_TAG L"  directory successfully created");
        exists = true;
        break;
    case ERROR_ALREADY_EXISTS:
        TRACE(4, DIR_TAG L"  already exists -> OK");
        exists = true;
        break;
    case ERROR_ACCESS_DENIED:
        TRACE(4, DIR_TAG L"ERROR_ACCESS_DENIED - Cannot create directory!");
        break;
    case ERROR_PATH_NOT_FOUND:
        TRACE(4,
              DIR_TAG L"  parent directory does not exist -> create all non-existing parent directory parts");
        exists = retriesLeft > 0 && CreateParent(path) && CreateDirTrying(path, retriesLeft - 1);
        break;
    default:
        TRACE(4, DIR_TAG L"ERROR 0x%08X - Cannot create directory!", error);
        break;
    }
    SetLastError(error);
    return exists;
}

bool CopyEntry(const WIN32_FIND_DATAW& entry, const wchar_t* source, const wchar_t* destination)
{
    const std::wstring sourceEntry = JoinPath(source, entry.cFileName);
    TRACE(4, DIR_TAG L"Source path: \"%s\"", sourceEntry.c_str());
    const std::wstring destinationEntry = JoinPath(destination, entry.cFileName);
    TRACE(4, DIR_TAG L"Destination path: \"%s\"", destinationEntry.c_str());
    if (IsDirectory(entry))
    {
        // The caller's own line reports a sub-directory that cannot be created.
        if (!CreateDirectoryW(destinationEntry.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        {
            return false;
        }
        return CopyDir(sourceEntry.c_str(), destinationEntry.c_str());
    }
    // A read-only copy from an earlier run must not block the next one.
    const bool copied = RetryWithoutReadOnly(destinationEntry.c_str(), [&] {
        return CopyFileW(sourceEntry.c_str(), destinationEntry.c_str(), FALSE);
    });
    if (!copied)
    {
        TRACE(1, DIR_TAG L"ERROR 0x%X! Failed to copy file : \"%s\" --> \"%s\"!", GetLastError(),
              sourceEntry.c_str(), destinationEntry.c_str());
    }
    return copied;
}

bool RemoveFileEntry(const WIN32_FIND_DATAW& entry, const std::wstring& full)
{
    TRACE(5, DIR_TAG L"Removing file \"%s\"...", full.c_str());
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
    {
        if (SetFileAttributesW(full.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY))
        {
            TRACE(5, DIR_TAG L"Removed 'read-only' file attribute to delete file '%s'!", entry.cFileName);
        }
        else
        {
            TRACE(1, DIR_TAG L"ERROR 0x%X! Could not removed 'read-only' file attribute to delete file '%s'!",
                  GetLastError(), entry.cFileName);
        }
    }
    if (DeleteFileW(full.c_str()) == 1)
    {
        TRACE(4, DIR_TAG L"Removed file \"%s\" - OK!", full.c_str());
        return true;
    }
    TRACE(1, DIR_TAG L"ERROR 0x%X! FAILED to remove file \"%s\"", GetLastError(), full.c_str());
    return false;
}

bool RemoveDirectoryEntry(const std::wstring& full)
{
    TRACE(5, DIR_TAG L"Found dir: \"%s\"", full.c_str());
    if (RemoveDir(full.c_str(), true))
    {
        TRACE(4, DIR_TAG L"Removed directory \"%s\" - OK!", full.c_str());
        return true;
    }
    TRACE(1, DIR_TAG L"ERROR 0x%X! FAILED to remove directory \"%s\"", GetLastError(), full.c_str());
    return false;
}
} // namespace

bool CreateDir(const wchar_t* path)
{
    return CreateDirTrying(path, kCreateRetries);
}

bool CopyDir(const wchar_t* source, const wchar_t* destination)
{
    // An empty source would list the root of the current drive.
    if (!source || !*source || !destination)
    {
        return false;
    }
    TRACE(3, DIR_TAG L"Copy directory \"%s\" -->  \"%s\"", source, destination);
    const std::wstring pattern = std::wstring(source) + L"\\" + L"*.*";
    TRACE(4, DIR_TAG L"Directory search pattern is: \"%s\"", pattern.c_str());
    WIN32_FIND_DATAW entry;
    CFindHandle find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find)
    {
        // Nothing to copy; the destination is not created.
        return true;
    }
    if (!CreateDir(destination))
    {
        TRACE(1, DIR_TAG L"ERROR 0x%X! Failed to create directory \"%s\"", GetLastError(), destination);
        return false;
    }
    CWalkOutcome outcome;
    do
    {
        if (!IsDotEntry(entry))
        {
            outcome.Add(CopyEntry(entry, source, destination));
        }
    } while (FindNextFileW(find.Get(), &entry));
    find.Reset();
    return outcome.Report();
}

bool RemoveDir(const wchar_t* path, bool removeSelf)
{
    if (!path || !*path)
    {
        return false;
    }
    TRACE(4, DIR_TAG L"Remove directory \"%s\"...", path);
    CWalkOutcome outcome;
    WIN32_FIND_DATAW entry;
    CFindHandle find(FindFirstFileW(JoinPath(path, L"*").c_str(), &entry));
    if (find)
    {
        do
        {
            if (!IsDotEntry(entry))
            {
                const std::wstring full = JoinPath(path, entry.cFileName);
                outcome.Add(IsDirectory(entry) ? RemoveDirectoryEntry(full) : RemoveFileEntry(entry, full));
            }
        } while (FindNextFileW(find.Get(), &entry));
        find.Reset();
    }
    else if (!removeSelf)
    {
        return false;
    }
    if (!removeSelf)
    {
        return outcome.Report();
    }
    TRACE(5, DIR_TAG L"Removing directory parent \"%s\"...", path);
    if (RetryWithoutReadOnly(path, [&] { return RemoveDirectoryW(path); }))
    {
        TRACE(4, DIR_TAG L"Removed directory parent \"%s\" - OK!", path);
        return true;
    }
    TRACE(1, DIR_TAG L"ERROR 0x%X! FAILED to remove directory parent \"%s\"", GetLastError(), path);
    return false;
}
