#include "extmod/CSavedCopies.h"
#include "trace/CTrace.h"
#include "util/CDirectory.h"
#include "util/CProgressReport.h"
#include "util/CProtectedAccess.h"
#include "util/CUniqueHandle.h"
#include "util/PathJoin.h"
#include "util/ProductLocations.h"
#include "util/TextFileConversion.h"

#define SAVED_TAG L"\nCSavedCopies        : "

namespace
{
const wchar_t kFailedRestores[] = L"EM_SETUP.failed-restores";
// How many moved-aside names are tried before the place counts as blocked.
constexpr int kAsideNames = 100;

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes a file or a folder tree, read-only files included, links never followed; true
// when nothing of that name is left.
bool Discard(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        return true;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDir(path.c_str(), true)
                                                   : RemoveFile(path.c_str(), true);
}

bool Move(const std::wstring& from, const std::wstring& to)
{
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
    {
        return true;
    }
    TRACE(1, SAVED_TAG L"ERROR 0x%X! Failed to rename \"%s\" to \"%s\"", GetLastError(), from.c_str(),
          to.c_str());
    return false;
}

// What another account could have planted or changed is moved out of the way, so that
// nothing is emptied through it, written into it or restored from it, and the customer's
// data never lands in it.
bool Secure(const std::wstring& path)
{
    std::wstring why;
    if (!Exists(path) || CProtectedAccess::IsTrusted(path.c_str(), why))
    {
        return true;
    }
    for (int number = 1; number <= kAsideNames; ++number)
    {
        const std::wstring aside = path + L".untrusted-" + std::to_wstring(number);
        if (!Exists(aside) && MoveFileExW(path.c_str(), aside.c_str(), 0))
        {
            TRACE(1, SAVED_TAG L"WARNING! \"%s\" is not used: %s. Moved aside to \"%s\"", path.c_str(),
                  why.c_str(), aside.c_str());
            return true;
        }
    }
    TRACE(1, SAVED_TAG L"ERROR 0x%X! \"%s\" is not used: %s, and it cannot be moved aside", GetLastError(),
          path.c_str(), why.c_str());
    return false;
}

// A mark's lines, written through to the disk: the marks decide what a later run may delete.
bool WriteMark(const std::wstring& path, const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines)
    {
        text += line + L"\n";
    }
    CFileHandle file(CProtectedAccess::CreateNewFile(path.c_str()));
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!file || !WriteFile(file.Get(), text.data(), size, &written, nullptr) || written != size ||
        !FlushFileBuffers(file.Get()))
    {
        TRACE(1, SAVED_TAG L"ERROR 0x%X! Failed to write \"%s\"", GetLastError(), path.c_str());
        return false;
    }
    return true;
}

std::vector<std::wstring> ReadMark(const std::wstring& path)
{
    std::vector<std::wstring> lines;
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > 16 * 1024 * 1024)
    {
        return lines;
    }
    std::wstring text(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!text.empty() &&
        !ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr))
    {
        return lines;
    }
    text.resize(read / sizeof(wchar_t));
    for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
    {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

bool HasFiles(const std::wstring& folder)
{
    return !folder.empty() && !ForEachFile(folder.c_str(), [](const WIN32_FIND_DATAW&) { return false; });
}

// The failures of a copy as paths relative to its source.
std::vector<std::wstring> RelativeTo(const std::wstring& root, const std::vector<std::wstring>& paths)
{
    std::vector<std::wstring> relative;
    for (const std::wstring& path : paths)
    {
        relative.push_back(path.compare(0, root.size() + 1, root + L"\\") == 0 ? path.substr(root.size() + 1)
                                                                               : path);
    }
    return relative;
}
} // namespace

CSavedCopies::CSavedCopies(const std::wstring& temp, const std::wstring& name)
    : m_temp(temp), m_copy(temp + name), m_previous(m_copy + L".previous"), m_partial(m_copy + L".partial"),
      m_pending(m_copy + L".pending"), m_restoring(m_copy + L".restoring"), m_source(m_copy + L".source")
{
}

bool CSavedCopies::SecureAll() const
{
    bool usable = true;
    for (const std::wstring* path : {&m_copy, &m_previous, &m_partial, &m_pending, &m_restoring, &m_source})
    {
        usable = Secure(*path) && usable;
    }
    return usable;
}

bool CSavedCopies::DataWrittenSinceCopy(const std::wstring& data) const
{
    WIN32_FILE_ATTRIBUTE_DATA mark{};
    if (data.empty() || !GetFileAttributesExW(m_pending.c_str(), GetFileExInfoStandard, &mark))
    {
        return false;
    }
    return !ForEachFile(data.c_str(), [&](const WIN32_FIND_DATAW& file) {
        return CompareFileTime(&file.ftLastWriteTime, &mark.ftLastWriteTime) <= 0;
    });
}

// The copy to restore steps back to be the copy before; the one before it was restored or
// superseded by it, so it goes.
bool CSavedCopies::MakeCopyPrevious() const
{
    if (!Discard(m_previous))
    {
        TRACE(1, SAVED_TAG L"ERROR 0x%X! Failed to discard the earlier copy \"%s\"", GetLastError(),
              m_previous.c_str());
        return false;
    }
    return Move(m_copy, m_previous);
}

void CSavedCopies::Save(const std::wstring& data, const AddFiles& addFiles)
{
    if (m_temp.empty() || !SecureAll())
    {
        TRACE(1, SAVED_TAG L"ERROR! No data is saved to \"%s\"", m_copy.c_str());
        return;
    }
    const bool pending = Exists(m_pending) && Exists(m_copy);
    if (pending && (Exists(m_restoring) || !DataWrittenSinceCopy(data)))
    {
        TRACE(1,
              SAVED_TAG L"WARNING! The saved copy \"%s\" has not been restored yet: it stays the copy to "
                        L"restore, "
                        L"nothing new is saved",
              m_copy.c_str());
        return;
    }
    if (pending)
    {
        // The old version ran on after an upgrade that never restored this copy.
        TRACE(
            1,
            SAVED_TAG L"WARNING! \"%s\" was written after the saved copy \"%s\" was made: that copy becomes "
                      L"the earlier copy \"%s\", the data is saved afresh",
            data.c_str(), m_copy.c_str(), m_previous.c_str());
        if (!MakeCopyPrevious() || !Discard(m_pending))
        {
            return;
        }
    }
    const bool hasData = HasFiles(data);
    if (!hasData && Exists(m_copy))
    {
        TRACE(
            1,
            SAVED_TAG L"WARNING! No data to save in \"%s\": the saved copy \"%s\" stays the copy to restore",
            data.c_str(), m_copy.c_str());
        addFiles(m_copy);
        WriteMark(m_pending, {});
        return;
    }
    if (!hasData)
    {
        TRACE(2, SAVED_TAG L"There is no data folder to save");
    }
    if (!Discard(m_partial) || !PrepareFolder(m_partial))
    {
        return;
    }
    std::vector<std::wstring> unsaved;
    if (hasData)
    {
        if (CopyDir(data.c_str(), m_partial.c_str(), &unsaved))
        {
            TRACE(2, SAVED_TAG L"Config of Sentrel copied to \"%s\"", m_copy.c_str());
        }
        else
        {
            TRACE(1, SAVED_TAG L"ERROR 0x%X! Failed to copy config of Sentrel to \"%s\"", GetLastError(),
                  m_copy.c_str());
        }
    }
    addFiles(m_partial);
    if (!HasFiles(m_partial))
    {
        Discard(m_partial);
        return;
    }
    Commit(data, RelativeTo(data, unsaved));
}

void CSavedCopies::Commit(const std::wstring& data, const std::vector<std::wstring>& unsaved) const
{
    // A cancelled copy is committed all the same: what it saved equals the data folder, and
    // the pending mark lists the rest, so a restore or rollback keeps the saved-copy rules.
    if (CProgressReport::StopRequested())
    {
        TRACE(1,
              SAVED_TAG L"WARNING! Cancelled: %u files were not saved; a restore takes them from the earlier "
                        L"copy where the data folder no longer has them",
              static_cast<unsigned>(unsaved.size()));
    }
    else
    {
        for (const std::wstring& file : unsaved)
        {
            TRACE(1,
                  SAVED_TAG L"WARNING! \"%s\" could not be saved: a restore takes it from the earlier copy "
                            L"where the data folder no longer has it",
                  file.c_str());
        }
    }
    if (Exists(m_copy) && !MakeCopyPrevious())
    {
        return;
    }
    if (!Move(m_partial, m_copy))
    {
        Move(m_previous, m_copy);
        return;
    }
    if (Discard(m_source))
    {
        WriteMark(m_source, {data});
    }
    WriteMark(m_pending, unsaved);
}

void CSavedCopies::TakeUnsavedFromPrevious(const std::wstring& data) const
{
    for (const std::wstring& file : ReadMark(m_pending))
    {
        const std::wstring target = JoinPath(data, file), earlier = JoinPath(m_previous, file);
        if (Exists(target) || !Exists(earlier))
        {
            continue;
        }
        std::wstring folder = target;
        RemoveLastPathComponent(folder);
        if (CreateDir(folder.c_str()) && CopyFileW(earlier.c_str(), target.c_str(), TRUE))
        {
            TRACE(1, SAVED_TAG L"WARNING! \"%s\" restored from the earlier copy \"%s\"", target.c_str(),
                  earlier.c_str());
        }
        else
        {
            TRACE(1, SAVED_TAG L"ERROR 0x%X! Failed to restore \"%s\" from the earlier copy \"%s\"",
                  GetLastError(), target.c_str(), earlier.c_str());
        }
    }
}

void CSavedCopies::DiscardEarlier() const
{
    Discard(m_previous);
    Discard(m_partial);
    std::wstring folder = m_copy;
    RemoveLastPathComponent(folder);
    WIN32_FIND_DATAW entry;
    const std::wstring pattern = m_copy + L"*.untrusted-*";
    CFindHandle find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find)
    {
        return;
    }
    do
    {
        Discard(JoinPath(folder, entry.cFileName));
    } while (FindNextFileW(find.Get(), &entry));
}

std::wstring CSavedCopies::SavedFrom() const
{
    if (!Exists(m_copy) || !Secure(m_source))
    {
        return {};
    }
    const std::vector<std::wstring> mark = ReadMark(m_source);
    return mark.empty() ? std::wstring() : mark.front();
}

bool CSavedCopies::Restore(const std::wstring& data, bool rollback)
{
    if (m_temp.empty() || data.empty() || !SecureAll())
    {
        return false;
    }
    if (!Exists(m_copy))
    {
        TRACE(2, SAVED_TAG L"No saved copy to restore in \"%s\"", m_copy.c_str());
        return true;
    }
    if (!rollback && !Exists(m_pending))
    {
        TRACE(2, SAVED_TAG L"The saved copy \"%s\" has been restored already", m_copy.c_str());
        return true;
    }
    WriteMark(m_restoring, {});
    if (!CopyDir(m_copy.c_str(), data.c_str()))
    {
        TRACE(1, SAVED_TAG L"ERROR 0x%X! Failed to restore config of Sentrel from \"%s\" to \"%s\"",
              GetLastError(), m_copy.c_str(), data.c_str());
        TakeUnsavedFromPrevious(data);
        return false;
    }
    TRACE(2, SAVED_TAG L"Config of Sentrel restored from \"%s\" to \"%s\"", m_copy.c_str(), data.c_str());
    TakeUnsavedFromPrevious(data);
    // Restored: the marks go first, so that what remains is never taken for a copy to restore.
    if (Discard(m_pending) && Discard(m_restoring))
    {
        DiscardEarlier();
    }
    return true;
}

bool CSavedCopies::ReplaceWhole(const std::wstring& target,
                                const std::function<bool(const std::wstring&)>& fill)
{
    const std::wstring partial = target + L".partial", earlier = target + L".previous";
    if (!Discard(partial))
    {
        return false;
    }
    if (!fill(partial))
    {
        const DWORD error = GetLastError();
        Discard(partial);
        SetLastError(error);
        return false;
    }
    // Between the two renames the old copy is whole under its earlier name.
    if (!Discard(earlier) || (Exists(target) && !Move(target, earlier)) || !Move(partial, target))
    {
        return false;
    }
    Discard(earlier);
    return true;
}

bool CSavedCopies::PrepareFolder(const std::wstring& folder)
{
    if (!Secure(folder))
    {
        return false;
    }
    std::wstring parent = folder;
    RemoveLastPathComponent(parent);
    const auto create = [&] {
        return CProtectedAccess::CreateFolder(folder.c_str()) || GetLastError() == ERROR_ALREADY_EXISTS;
    };
    // The temporary directory itself may be missing (a fresh profile); it gets no protection.
    if (create() || (GetLastError() == ERROR_PATH_NOT_FOUND && CreateDir(parent.c_str()) && create()))
    {
        return true;
    }
    TRACE(1, SAVED_TAG L"ERROR 0x%X! Failed to create \"%s\"", GetLastError(), folder.c_str());
    return false;
}

void CSavedCopies::RecordFailedRestores(const std::vector<std::wstring>& modules)
{
    std::wstring temp;
    if (!GetTempDirectory(temp) || !Secure(temp + kFailedRestores))
    {
        return;
    }
    if (modules.empty())
    {
        Discard(temp + kFailedRestores);
        return;
    }
    std::wstring folder = temp;
    StripTrailingBackslash(folder);
    CreateDir(folder.c_str());
    WriteMark(temp + kFailedRestores, modules);
}

std::set<std::wstring> CSavedCopies::FailedRestores()
{
    std::wstring temp;
    if (!GetTempDirectory(temp) || !Secure(temp + kFailedRestores))
    {
        return {};
    }
    const std::vector<std::wstring> lines = ReadMark(temp + kFailedRestores);
    return std::set<std::wstring>(lines.begin(), lines.end());
}
