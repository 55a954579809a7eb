#pragma once
#include "util/CUniqueHandle.h"
#include <windows.h>

// The memory-mapped trace file: a file of exactly the size limit, written as a ring of
// UTF-16 text through one view. After a wrap the marker "\r\n[EOF]\r\n" follows the
// newest text. Closing cuts the file to the bytes in use.
class CRingFile
{
  public:
    ~CRingFile();
    // Releases the file (cut to its used length) and forgets the ring's offsets.
    void Reset();
    // Opens the file at its first line; true also when nothing could be written.
    bool Write(const wchar_t* path, ULONGLONG sizeLimit, const wchar_t* line);

    ULONGLONG WriteOffset() const { return m_writeOffset; }
    ULONGLONG StartOffset() const { return m_startOffset; }
    ULONGLONG WrapPoint() const { return m_wrapPoint; }

  private:
    void Open(const wchar_t* path, ULONGLONG sizeLimit);
    void Place(const void* bytes, ULONGLONG count, bool advance);

    ULONGLONG m_writeOffset = 0;
    ULONGLONG m_startOffset = 0;
    ULONGLONG m_wrapPoint = 0;
    ULONGLONG m_limit = 0;
    CFileHandle m_file;
    CKernelHandle m_mapping;
    CMappedView m_view;
};
