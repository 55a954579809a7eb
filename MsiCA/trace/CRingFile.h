#pragma once
#include "util/CUniqueHandle.h"
#include <windows.h>

// The memory-mapped trace file: a file of exactly the size limit, written as a ring of
// UTF-16 text through one view. After a wrap the marker "\r\n[EOF]\r\n" follows the
// newest text. Closing cuts the file to the bytes in use; opening an existing ring
// continues right behind its newest text, so one ring spans many loads of the library.
class CRingFile
{
  public:
    ~CRingFile();
    // Releases the file (cut to its bytes in use) and forgets the ring's offsets.
    void Reset();
    bool IsOpen() const { return m_file.IsValid(); }
    // Opens the file at its first line; true also when nothing could be written. length
    // bounds the line's characters (it ends at its terminator or there, whichever is first).
    bool Write(const wchar_t* path, ULONGLONG sizeLimit, const wchar_t* line, size_t length);
    bool Write(const wchar_t* path, ULONGLONG sizeLimit, const wchar_t* line);

  private:
    void Open(const wchar_t* path, ULONGLONG sizeLimit);
    void PlacePieces(const wchar_t* line, size_t length);
    void Place(const void* bytes, ULONGLONG count, bool advance);
    ULONGLONG UsedEnd() const;

    ULONGLONG m_writeOffset = 0;
    ULONGLONG m_startOffset = 0;
    ULONGLONG m_wrapPoint = 0;
    ULONGLONG m_limit = 0;
    CFileHandle m_file;
    bool m_refusalReported = false;
    CKernelHandle m_mapping;
    CMappedView m_view;
};
