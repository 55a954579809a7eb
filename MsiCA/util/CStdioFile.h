#pragma once
#include "util/CFile.h"
#include <cstdio>

// A CFile read through a buffered stream of the C runtime, in text mode (CR LF arrives as
// LF) unless the binary flag is given. The stream owns the handle once bound to it.
class CStdioFile : public CFile
{
  public:
    CStdioFile() = default;
    ~CStdioFile() override;

    bool Open(const wchar_t* path, DWORD flags);
    void Close();
    // Reads up to bytes from the stream into buffer, their count into read (0 at the end);
    // false on a read error, which is then cleared.
    bool Read(void* buffer, size_t bytes, size_t& read);

    FILE* Stream() const { return m_stream; }

  private:
    FILE* m_stream = nullptr;
};
