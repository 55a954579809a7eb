#pragma once
#include "TraceFileText.h"
#include <string>

// Reads one trace file as text, again and again while it grows: an ordinary file from
// where the last read ended (after a rotation, the rest of the rotated file first), a
// ring file in time order and then what was written since.
class CTraceReader
{
  public:
    explicit CTraceReader(std::wstring path);

    // The text added since the last call (all of it at the first); 0 or the Win32 error.
    DWORD Poll(std::wstring& text);

  private:
    DWORD PollOrdinary(std::wstring& text);
    DWORD PollRing(std::wstring& text);
    // Decodes new bytes of the ordinary file at m_offset, keeping back an incomplete character.
    std::wstring TakeOrdinary(const std::string& bytes);
    void StartOver();

    std::wstring m_path;
    bool m_ring = false;
    TraceEncoding m_encoding = TraceEncoding::Unknown;
    ULONGLONG m_offset = 0; // ordinary file: bytes read so far
    ULONGLONG m_fileId = 0;
    bool m_started = false;
    bool m_ringWhole = false; // ring file: the next read shows all of it
    size_t m_ringEnd = 0;     // ring file: where its newest text ended at the last read
};
