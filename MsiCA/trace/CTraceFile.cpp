#include "trace/CTraceFile.h"
#include "util/UnlinkedFile.h"
#include "util/GuardedCall.h"
#include "trace/TracePieces.h"
#include <string>
#include <strsafe.h>

namespace
{
const char kConversionFailed[] = "### UNICODE-to-MBCS conversion failed ###\n";

// Releases the file mutex on every path out of a write, if the wait acquired it.
class CMutexHold
{
  public:
    CMutexHold(HANDLE mutex, DWORD waitMs) : m_mutex(mutex)
    {
        if (m_mutex)
        {
            const DWORD wait = WaitForSingleObject(m_mutex, waitMs);
            m_acquired = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        }
    }
    ~CMutexHold()
    {
        if (m_acquired)
        {
            ReleaseMutex(m_mutex);
        }
    }
    CMutexHold(const CMutexHold&) = delete;
    CMutexHold& operator=(const CMutexHold&) = delete;

  private:
    HANDLE m_mutex;
    bool m_acquired = false;
};

// The bytes one line adds to a UTF-16 file.
std::string EncodeWide(const wchar_t* line)
{
    std::string bytes;
    ForEachTracePiece(line, [&](const wchar_t* text, size_t count) {
        bytes.append(reinterpret_cast<const char*>(text), count * sizeof(wchar_t));
        return true;
    });
    return bytes;
}

// The bytes one line adds to an ANSI file; a piece that cannot be converted is replaced by
// a notice.
std::string EncodeAnsi(const wchar_t* line)
{
    std::string bytes;
    ForEachTracePiece(line, [&](const wchar_t* text, size_t count) {
        const int wide = static_cast<int>(count);
        const int needed = WideCharToMultiByte(CP_ACP, 0, text, wide, nullptr, 0, nullptr, nullptr);
        const size_t at = bytes.size();
        if (needed > 0)
        {
            bytes.resize(at + static_cast<size_t>(needed));
            if (WideCharToMultiByte(CP_ACP, 0, text, wide, &bytes[at], needed, nullptr, nullptr) == needed)
            {
                return true;
            }
            bytes.resize(at);
        }
        bytes.append(kConversionFailed);
        return true;
    });
    return bytes;
}

bool WriteAll(HANDLE file, const void* bytes, size_t count)
{
    DWORD written = 0;
    return WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr) && written == count;
}

// Moves a full trace file aside, replacing the older one, so that the next line starts anew.
void Rotate(const wchar_t* path)
{
    wchar_t rotated[MAX_PATH];
    StringCchPrintfW(rotated, MAX_PATH, L"%s.txt", path);
    DeleteFileW(rotated);
    if (!MoveFileExW(path, rotated, 0))
    {
        MoveFileExW(path, rotated, 0);
    }
}
} // namespace

void CTraceFile::CreateMutexFor(const wchar_t* path)
{
    wchar_t name[MAX_PATH];
    StringCchPrintfW(name, MAX_PATH, L"CFileDebug_%s", path);
    for (wchar_t* c = name; *c; ++c)
    {
        if (*c == L'\\' || *c == L':')
        {
            *c = L'_';
        }
        else if (*c >= L'a' && *c <= L'z')
        {
            *c = static_cast<wchar_t>(*c - L'a' + L'A');
        }
    }
    m_mutex.Reset(CreateMutexW(nullptr, FALSE, name));
}

void CTraceFile::CloseMutex()
{
    m_mutex.Reset();
}

bool CTraceFile::Write(const wchar_t* path, ULONGLONG sizeLimit, const wchar_t* line)
{
    if (!path || !*path)
    {
        return true;
    }
    CMutexHold hold(m_mutex.Get(), kMutexWaitMs);
    CFileHandle file;
    volatile bool written = false;
    const DWORD fault = Guarded([&] {
        const wchar_t* why = nullptr;
        file.Reset(CreateUnlinkedFile(path, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS,
                                      &why));
        if (!file)
        {
            ReportRefusal(path, why);
            return;
        }
        LARGE_INTEGER size{};
        GetFileSizeEx(file.Get(), &size);
        bool wide = false;
        if (size.QuadPart == 0)
        {
            static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
            wide = WriteAll(file.Get(), kByteOrderMark, sizeof(kByteOrderMark));
        }
        else
        {
            BYTE head[2] = {};
            DWORD read = 0;
            wide = size.QuadPart >= 2 && ReadFile(file.Get(), head, sizeof(head), &read, nullptr) &&
                   read == 2 && head[0] == 0xFF && head[1] == 0xFE;
            if (!SetFilePointerEx(file.Get(), LARGE_INTEGER{}, nullptr, FILE_END))
            {
                return;
            }
        }
        const std::string bytes = wide ? EncodeWide(line) : EncodeAnsi(line);
        written = bytes.empty() || WriteAll(file.Get(), bytes.data(), bytes.size());

        if (GetFileSizeEx(file.Get(), &size) && static_cast<ULONGLONG>(size.QuadPart) >= sizeLimit)
        {
            file.Reset();
            Rotate(path);
        }
    });
    return fault == 0 && written;
}

void ReportRefusedTraceFile(const wchar_t* path, const wchar_t* why, bool& reported)
{
    if (!why || reported)
    {
        return;
    }
    reported = true;
    std::wstring text = L"MsiCA: the trace file \"";
    text += path;
    text += L"\" is not written: ";
    text += why;
    text += L"\n";
    OutputDebugStringW(text.c_str());
}

void CTraceFile::ReportRefusal(const wchar_t* path, const wchar_t* why)
{
    ReportRefusedTraceFile(path, why, m_refusalReported);
}
