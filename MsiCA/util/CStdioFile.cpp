#include "util/CStdioFile.h"
#include <fcntl.h>
#include <io.h>

namespace
{
int DescriptorFlags(DWORD flags)
{
    const int mode = (flags & CFile::typeBinary) ? _O_BINARY : _O_TEXT;
    switch (flags & 0x3)
    {
    case CFile::modeWrite:
        return mode | _O_WRONLY;
    case CFile::modeReadWrite:
        return mode | _O_RDWR;
    default:
        return mode | _O_RDONLY;
    }
}

const wchar_t* StreamMode(DWORD flags)
{
    const bool binary = (flags & CFile::typeBinary) != 0;
    switch (flags & 0x3)
    {
    case CFile::modeWrite:
        return binary ? L"wb" : L"wt";
    case CFile::modeReadWrite:
        return binary ? L"r+b" : L"r+t";
    default:
        return binary ? L"rb" : L"rt";
    }
}
} // namespace

CStdioFile::~CStdioFile()
{
    Close();
}

bool CStdioFile::Open(const wchar_t* path, DWORD flags)
{
    Close();
    if (!CFile::Open(path, flags & ~DWORD(typeText)))
    {
        return false;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(Handle()), DescriptorFlags(flags));
    if (descriptor == -1)
    {
        CFile::Close();
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return false;
    }
    ReleaseHandle();
    m_stream = _wfdopen(descriptor, StreamMode(flags));
    if (!m_stream)
    {
        _close(descriptor);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

void CStdioFile::Close()
{
    if (m_stream)
    {
        fclose(m_stream);
        m_stream = nullptr;
    }
    CFile::Close();
}

bool CStdioFile::Read(void* buffer, size_t bytes, size_t& read)
{
    read = 0;
    if (!m_stream)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    read = fread(buffer, 1, bytes, m_stream);
    if (ferror(m_stream))
    {
        clearerr(m_stream);
        return false;
    }
    return true;
}
