#include "util/CFile.h"
#include "util/GuardedCall.h"

namespace
{
DWORD AccessOf(DWORD flags)
{
    switch (flags & 0x3)
    {
    case CFile::modeRead:
        return GENERIC_READ;
    case CFile::modeWrite:
        return GENERIC_WRITE;
    case CFile::modeReadWrite:
        return GENERIC_READ | GENERIC_WRITE;
    default:
        return 0;
    }
}

DWORD ShareOf(DWORD flags)
{
    switch (flags & 0x70)
    {
    case CFile::shareDenyWrite:
        return FILE_SHARE_READ;
    case CFile::shareDenyRead:
        return FILE_SHARE_WRITE;
    case CFile::shareDenyNone:
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default:
        return 0;
    }
}

DWORD CreationOf(DWORD flags)
{
    if (!(flags & CFile::modeCreate))
    {
        return OPEN_EXISTING;
    }
    return (flags & CFile::modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
}

DWORD AttributesOf(DWORD flags)
{
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (flags & CFile::osNoBuffer)
    {
        attributes |= FILE_FLAG_NO_BUFFERING;
    }
    if (flags & CFile::osWriteThrough)
    {
        attributes |= FILE_FLAG_WRITE_THROUGH;
    }
    if (flags & CFile::osRandomAccess)
    {
        attributes |= FILE_FLAG_RANDOM_ACCESS;
    }
    if (flags & CFile::osSequentialScan)
    {
        attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
    }
    return attributes;
}
} // namespace

CFile::~CFile()
{
    if (!m_closeOnDelete)
    {
        m_handle.Release();
    }
}

bool CFile::Open(const wchar_t* path, DWORD flags)
{
    m_path = path ? path : L"";
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.bInheritHandle = (flags & modeNoInherit) ? FALSE : TRUE;
    HANDLE handle = CreateFileW(path, AccessOf(flags), ShareOf(flags), &security, CreationOf(flags),
                                AttributesOf(flags), nullptr);
    if (handle == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    m_handle.Reset(handle);
    m_closeOnDelete = true;
    return true;
}

void CFile::Close()
{
    if (m_handle)
    {
        // A handle that is no longer valid may raise an exception when closed.
        Guarded([&] { m_handle.Reset(); });
        m_handle.Release();
    }
    m_closeOnDelete = false;
}

HANDLE CFile::ReleaseHandle()
{
    m_closeOnDelete = false;
    return m_handle.Release();
}

bool CFile::Write(const void* data, DWORD bytes)
{
    DWORD written = 0;
    return WriteFile(m_handle.Get(), data, bytes, &written, nullptr) && written == bytes;
}
