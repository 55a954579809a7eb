#include "util/TextFileConversion.h"
#include "trace/CTrace.h"
#include "util/CStdioFile.h"
#include "util/ProductLocations.h"
#include "util/ReadOnlyRetry.h"
#include <string>
#include <vector>

#define STDIO_TAG L"\nCStdioFile          : "
#define FILE_TAG L"\nCFile               : "
#define CONV_TAG L"\nConvertToUtf16      : "

namespace
{
constexpr DWORD kReadBinaryShared = CFile::modeRead | CFile::shareDenyNone | CFile::typeBinary;
constexpr DWORD kCreateBinaryDenyRead =
    CFile::modeCreate | CFile::modeWrite | CFile::shareDenyRead | CFile::typeBinary;
// The conversion holds one chunk of input and its UTF-16 form, whatever the file's size.
constexpr size_t kChunkBytes = 64 * 1024;
const BYTE kUtf16Bom[] = {0xFF, 0xFE};

enum class BomCheck
{
    OpenFailed,
    Absent,
    Present,
};

BomCheck CheckUtf16Bom(const wchar_t* path)
{
    CStdioFile file;
    if (!file.Open(path, kReadBinaryShared))
    {
        TRACE(1, STDIO_TAG L"ERROR 0x%X! Failed to open file \"%s\"", GetLastError(), path);
        return BomCheck::OpenFailed;
    }
    BYTE mark[2] = {};
    size_t read = 0;
    file.Read(mark, sizeof(mark), read);
    const bool present = read == sizeof(mark) && mark[0] == kUtf16Bom[0] && mark[1] == kUtf16Bom[1];
    return present ? BomCheck::Present : BomCheck::Absent;
}

// Streams the text of input into output as UTF-16LE: CR LF becomes LF and each byte the
// code unit of the same value, as a text-mode stream and the runtime's default single-byte
// conversion would give. The input is read in binary all the same, because a text-mode
// stream takes a Ctrl-Z byte for the end of the file and would silently drop the rest of a
// customer's file. A failed read or write ends the copy as a failure: an incomplete copy
// must never replace the given file.
bool CopyAsUtf16(CStdioFile& input, CFile& output)
{
    std::vector<BYTE> bytes(kChunkBytes);
    std::vector<wchar_t> text(kChunkBytes + 1);
    bool carriageReturnPending = false; // a CR at a chunk's end waits for the next byte
    for (;;)
    {
        size_t read = 0;
        if (!input.Read(bytes.data(), bytes.size(), read))
        {
            TRACE(1, CONV_TAG L"ERROR 0x%X! Failed to read input file \"%s\"", GetLastError(),
                  input.Path().c_str());
            return false;
        }
        size_t count = 0;
        for (size_t i = 0; i < read; ++i)
        {
            if (carriageReturnPending && bytes[i] != '\n')
            {
                text[count++] = L'\r';
            }
            carriageReturnPending = bytes[i] == '\r';
            if (!carriageReturnPending)
            {
                text[count++] = bytes[i];
            }
        }
        if (read == 0 && carriageReturnPending)
        {
            text[count++] = L'\r';
        }
        if (count != 0 && !output.Write(text.data(), static_cast<DWORD>(count * sizeof(wchar_t))))
        {
            TRACE(1, CONV_TAG L"ERROR 0x%X! Failed to write output file \"%s\"", GetLastError(),
                  output.Path().c_str());
            return false;
        }
        if (read == 0)
        {
            return true;
        }
    }
}

// The converted file beside the one it replaces: in the data folder, which only
// administrators and the system can write, not in a temporary directory that every user
// can. It is deleted on every path but the replace that consumes it.
class CConvertedFile
{
  public:
    explicit CConvertedFile(const wchar_t* path)
    {
        std::wstring folder = path;
        RemoveLastPathComponent(folder);
        if (GetTempFileNameW(folder.c_str(), L"ccs", 0, m_name))
        {
            m_created = true;
        }
    }
    ~CConvertedFile()
    {
        if (m_created)
        {
            RemoveFile(m_name, true);
        }
    }
    CConvertedFile(const CConvertedFile&) = delete;
    CConvertedFile& operator=(const CConvertedFile&) = delete;

    bool Created() const { return m_created; }
    const wchar_t* Name() const { return m_name; }
    // Puts the file in path's place in one step, so that no instant leaves path missing.
    bool Replace(const wchar_t* path)
    {
        const bool replaced = RetryWithoutReadOnly(path, [&] {
            return MoveFileExW(m_name, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        });
        m_created = !replaced;
        return replaced;
    }

  private:
    wchar_t m_name[MAX_PATH] = {};
    bool m_created = false;
};

// Streams the converted text of path into output.
bool WriteConvertedCopy(const wchar_t* path, const CConvertedFile& converted)
{
    CFile output;
    if (!output.Open(converted.Name(), kCreateBinaryDenyRead))
    {
        TRACE(1, CONV_TAG L"ERROR 0x%X! Failed to open output file \"%s\"", GetLastError(), converted.Name());
        return false;
    }
    if (!output.Write(kUtf16Bom, sizeof(kUtf16Bom)))
    {
        TRACE(1, CONV_TAG L"ERROR 0x%X! Failed to write output file \"%s\"", GetLastError(),
              converted.Name());
        return false;
    }
    CStdioFile input;
    if (!input.Open(path, kReadBinaryShared))
    {
        TRACE(1, CONV_TAG L"ERROR 0x%X! Failed to open input file \"%s\"", GetLastError(), path);
        return false;
    }
    // On the disk before it replaces the original: a power cut must find one whole file.
    return CopyAsUtf16(input, output) && FlushFileBuffers(output.Handle());
}
} // namespace

bool HasUtf16Bom(const wchar_t* path)
{
    return path && *path && CheckUtf16Bom(path) == BomCheck::Present;
}

bool ConvertToUtf16(const wchar_t* path)
{
    if (!path || !*path)
    {
        return false;
    }
    // A file that cannot be opened goes on to the input open, whose line names the failure.
    if (CheckUtf16Bom(path) == BomCheck::Present)
    {
        TRACE(3, CONV_TAG L"File \"%s\" already has a UTF16 BOM", path);
        return false;
    }
    CConvertedFile converted(path);
    if (!converted.Created())
    {
        TRACE(1, CONV_TAG L"ERROR 0x%X! Failed to create temp file name", GetLastError());
        return false;
    }
    if (!WriteConvertedCopy(path, converted))
    {
        return false;
    }
    if (!converted.Replace(path))
    {
        TRACE(1, CONV_TAG L"ERROR 0x%X! Failed to replace \"%s\" with the converted file \"%s\"",
              GetLastError(), path, converted.Name());
        return false;
    }
    TRACE(3, FILE_TAG L"Existing destination file \"%s\" replaced!", path);
    return true;
}

bool RemoveFile(const wchar_t* path, bool clearReadOnly)
{
    if (!path)
    {
        return false;
    }
    const auto deleteFile = [&] { return DeleteFileW(path) == 1; };
    return clearReadOnly ? RetryWithoutReadOnly(path, deleteFile) : deleteFile();
}

bool CopyFileNoOverwrite(const wchar_t* source, const wchar_t* target)
{
    if (!source || !*source || !target || !*target)
    {
        return false;
    }
    return CopyFileW(source, target, TRUE) == 1;
}
