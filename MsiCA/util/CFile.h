#pragma once
#include "util/CUniqueHandle.h"
#include <windows.h>
#include <string>

// A Windows file opened by a set of mode flags; closed when destroyed.
class CFile
{
  public:
    enum OpenFlags : DWORD
    {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
        osNoBuffer = 0x10000,
        osWriteThrough = 0x20000,
        osRandomAccess = 0x40000,
        osSequentialScan = 0x80000,
    };

    CFile() = default;
    virtual ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens path with CreateFileW as the flags ask; GetLastError tells why it failed.
    bool Open(const wchar_t* path, DWORD flags);
    void Close();
    // Writes all bytes; false on a failed or short write.
    bool Write(const void* data, DWORD bytes);

    HANDLE Handle() const { return m_handle.Get(); }
    bool IsOpen() const { return m_handle.IsValid(); }
    const std::wstring& Path() const { return m_path; }

  protected:
    // Gives up the handle without closing it (a stream bound to it closes it).
    HANDLE ReleaseHandle();

  private:
    std::wstring m_path;
    CFileHandle m_handle;
    bool m_closeOnDelete = false;
};
