#include "util/CDirectory.h"
#include "util/PathJoin.h"
#include "trace/CTrace.h"
#include "util/CProgressReport.h"
#include "util/CUniqueHandle.h"
#include "util/ReadOnlyRetry.h"
#include <string>
#include <vector>

#define DIR_TAG L"\nCDirectory          : "

namespace
{
constexpr size_t kParentBufferSize = 2048;
// How often a directory is tried again after its parents were created.
constexpr int kCreateRetries = 2;

bool IsDotEntry(const WIN32_FIND_DATAW& entry)
{
    return wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0;
}

bool IsDirectory(const WIN32_FIND_DATAW& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Junctions, symbolic links and mount points name other places: a walk that ran as
// LocalSystem through one planted by another account would copy or delete what lies behind
// it. Other reparse points (deduplicated or cloud files) are the files themselves. Wine
// reports a link without its tag.
bool IsLink(const WIN32_FIND_DATAW& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (entry.dwReserved0 == 0 || IsReparseTagNameSurrogate(entry.dwReserved0));
}

bool IsLinkPath(const wchar_t* path)
{
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
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

// What one copy carries through its walk: the entries that failed, and the files done.
struct CopyWalk
{
    std::vector<std::wstring>* failures;
    DWORD filesDone = 0;

    void Failed(const std::wstring& sourceEntry) const
    {
        if (failures)
        {
            failures->push_back(sourceEntry);
        }
    }
};

bool CreateDirTrying(const wchar_t* path, int retriesLeft);
// created: the walk has just created destination, so nothing in it predates the copy.
bool CopyTree(const wchar_t* source, const wchar_t* destination, bool created, CopyWalk& walk);

std::wstring FullPath(const wchar_t* path)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path, static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length >= full.size())
    {
        full.assign(length, L'\0');
        length = GetFullPathNameW(path, length, &full[0], nullptr);
    }
    full.resize(length < full.size() ? length : 0);
    return full;
}

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

bool CopyEntry(const WIN32_FIND_DATAW& entry, const wchar_t* source, const wchar_t* destination,
               bool destinationCreated, CopyWalk& walk)
{
    const std::wstring sourceEntry = JoinPath(source, entry.cFileName);
    TRACE(4, DIR_TAG L"Source path: \"%s\"", sourceEntry.c_str());
    const std::wstring destinationEntry = JoinPath(destination, entry.cFileName);
    TRACE(4, DIR_TAG L"Destination path: \"%s\"", destinationEntry.c_str());
    if (IsLink(entry))
    {
        TRACE(1, DIR_TAG L"WARNING! \"%s\" is a link: what it points to is not copied", sourceEntry.c_str());
        return true;
    }
    if (IsDirectory(entry))
    {
        // The caller's own line reports a sub-directory that cannot be created.
        const bool created = CreateDirectoryW(destinationEntry.c_str(), nullptr) == TRUE;
        if (!created && GetLastError() != ERROR_ALREADY_EXISTS)
        {
            walk.Failed(sourceEntry);
            return false;
        }
        return CopyTree(sourceEntry.c_str(), destinationEntry.c_str(), created, walk);
    }
    // Cancelled: the file in hand was finished, the rest count as not copied.
    if (CProgressReport::StopRequested())
    {
        walk.Failed(sourceEntry);
        SetLastError(ERROR_CANCELLED);
        return false;
    }
    // A lookup of a missing name costs Wine a scan of the folder: a new folder needs none.
    const bool existed =
        !destinationCreated && GetFileAttributesW(destinationEntry.c_str()) != INVALID_FILE_ATTRIBUTES;
    // A read-only copy from an earlier run must not block the next one.
    const bool copied = RetryWithoutReadOnly(destinationEntry.c_str(), [&] {
        return CopyFileW(sourceEntry.c_str(), destinationEntry.c_str(), FALSE);
    });
    if (!copied)
    {
        const DWORD error = GetLastError();
        TRACE(1, DIR_TAG L"ERROR 0x%X! Failed to copy file : \"%s\" --> \"%s\"!", error, sourceEntry.c_str(),
              destinationEntry.c_str());
        // A copy that broke off may leave a truncated file, which a later restore would
        // take for the real one. Only a file this copy created is removed.
        if (!existed && DeleteFileW(destinationEntry.c_str()))
        {
            TRACE(3, DIR_TAG L"Incomplete copy \"%s\" removed", destinationEntry.c_str());
        }
        walk.Failed(sourceEntry);
        SetLastError(error);
    }
    CProgressReport::Advance(++walk.filesDone, entry.cFileName);
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

// The link itself goes; what it points to stays.
bool RemoveLinkEntry(const WIN32_FIND_DATAW& entry, const std::wstring& full)
{
    const BOOL removed = IsDirectory(entry) ? RemoveDirectoryW(full.c_str()) : DeleteFileW(full.c_str());
    if (removed)
    {
        TRACE(4, DIR_TAG L"Removed link \"%s\" - OK!", full.c_str());
        return true;
    }
    TRACE(1, DIR_TAG L"ERROR 0x%X! FAILED to remove link \"%s\"", GetLastError(), full.c_str());
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

bool IsSameOrInsideDir(const wchar_t* path, const wchar_t* directory)
{
    const std::wstring inner = FullPath(path);
    std::wstring outer = FullPath(directory);
    if (inner.empty() || outer.empty())
    {
        return false;
    }
    if (outer.back() != L'\\')
    {
        outer += L'\\';
    }
    const std::wstring innerWithSeparator = inner.back() == L'\\' ? inner : inner + L'\\';
    return innerWithSeparator.size() >= outer.size() &&
           CompareStringOrdinal(innerWithSeparator.c_str(), static_cast<int>(outer.size()), outer.c_str(),
                                static_cast<int>(outer.size()), TRUE) == CSTR_EQUAL;
}

bool CopyDir(const wchar_t* source, const wchar_t* destination, std::vector<std::wstring>* failures)
{
    // An empty source would list the root of the current drive.
    if (!source || !*source || !destination)
    {
        return false;
    }
    // A copy into its own source would find its copies again and again.
    if (IsSameOrInsideDir(destination, source))
    {
        TRACE(1, DIR_TAG L"ERROR 0x%X! Destination \"%s\" lies inside the source \"%s\"",
              ERROR_INVALID_PARAMETER, destination, source);
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (IsLinkPath(source))
    {
        TRACE(1, DIR_TAG L"WARNING! \"%s\" is a link: what it points to is not copied", source);
        return true;
    }
    if (CProgressReport::IsObserved())
    {
        DWORD files = 0;
        ForEachFile(source, [&](const WIN32_FIND_DATAW&) { return ++files != 0; });
        CProgressReport::Begin(source, files);
    }
    CopyWalk walk{failures};
    return CopyTree(source, destination, false, walk);
}

namespace
{
bool CopyTree(const wchar_t* source, const wchar_t* destination, bool created, CopyWalk& walk)
{
    TRACE(3, DIR_TAG L"Copy directory \"%s\" -->  \"%s\"", source, destination);
    const std::wstring pattern = JoinPath(source, L"*.*");
    TRACE(4, DIR_TAG L"Directory search pattern is: \"%s\"", pattern.c_str());
    WIN32_FIND_DATAW entry;
    CFindHandle find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find)
    {
        // Nothing to copy; the destination is not created.
        return true;
    }
    if (!created)
    {
        SetLastError(ERROR_SUCCESS);
        if (!CreateDir(destination))
        {
            TRACE(1, DIR_TAG L"ERROR 0x%X! Failed to create directory \"%s\"", GetLastError(), destination);
            return false;
        }
        created = GetLastError() != ERROR_ALREADY_EXISTS;
    }
    CWalkOutcome outcome;
    do
    {
        if (!IsDotEntry(entry))
        {
            outcome.Add(CopyEntry(entry, source, destination, created, walk));
        }
    } while (FindNextFileW(find.Get(), &entry));
    find.Reset();
    return outcome.Report();
}
} // namespace

bool RemoveDir(const wchar_t* path, bool removeSelf)
{
    if (!path || !*path)
    {
        return false;
    }
    TRACE(4, DIR_TAG L"Remove directory \"%s\"...", path);
    CWalkOutcome outcome;
    WIN32_FIND_DATAW entry;
    // Held open while the folder is emptied: without delete sharing it cannot be renamed and
    // replaced by a link between the check below and the walk through it.
    CFileHandle pinned(CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION opened{};
    const bool isLink = pinned ? GetFileInformationByHandle(pinned.Get(), &opened) &&
                                     (opened.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                               : IsLinkPath(path);
    // A link given as path is removed as a link, never listed.
    CFindHandle find(isLink ? INVALID_HANDLE_VALUE : FindFirstFileW(JoinPath(path, L"*").c_str(), &entry));
    if (find)
    {
        do
        {
            if (!IsDotEntry(entry))
            {
                const std::wstring full = JoinPath(path, entry.cFileName);
                outcome.Add(IsLink(entry)        ? RemoveLinkEntry(entry, full)
                            : IsDirectory(entry) ? RemoveDirectoryEntry(full)
                                                 : RemoveFileEntry(entry, full));
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
    pinned.Reset();
    if (RetryWithoutReadOnly(path, [&] { return RemoveDirectoryW(path); }))
    {
        TRACE(4, DIR_TAG L"Removed directory parent \"%s\" - OK!", path);
        return true;
    }
    TRACE(1, DIR_TAG L"ERROR 0x%X! FAILED to remove directory parent \"%s\"", GetLastError(), path);
    return false;
}

bool ForEachFile(const wchar_t* root, const std::function<bool(const WIN32_FIND_DATAW&)>& visit)
{
    WIN32_FIND_DATAW entry;
    CFindHandle find(FindFirstFileW(JoinPath(root, L"*").c_str(), &entry));
    if (!find)
    {
        return true;
    }
    do
    {
        if (IsDotEntry(entry) || IsLink(entry))
        {
            continue;
        }
        const bool goOn =
            IsDirectory(entry) ? ForEachFile(JoinPath(root, entry.cFileName).c_str(), visit) : visit(entry);
        if (!goOn)
        {
            return false;
        }
    } while (FindNextFileW(find.Get(), &entry));
    return true;
}
