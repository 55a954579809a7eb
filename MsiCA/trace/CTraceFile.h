#pragma once
#include "util/CUniqueHandle.h"
#include <windows.h>

// The ordinary trace file: opened, appended to and closed for every line, UTF-16 with
// FF FE when the trace created it, ANSI when it found one without the mark, and moved to
// "<path>.txt" once it reaches its size limit. Writers of one path, in any process, are
// serialised by a named mutex derived from the path.
class CTraceFile
{
  public:
    // Creates the mutex shared by every writer of path (closes one held before).
    void CreateMutexFor(const wchar_t* path);
    void CloseMutex();
    bool HasMutex() const { return m_mutex.IsValid(); }
    // Writes one line; false when the file could not be opened or a write failed.
    bool Write(const wchar_t* path, ULONGLONG sizeLimit, const wchar_t* line);

    static constexpr DWORD kMutexWaitMs = 100;

  private:
    void ReportRefusal(const wchar_t* path, const wchar_t* why);

    CKernelHandle m_mutex;
    bool m_refusalReported = false;
};

// One line to the debugger, once per sink, about a trace file that is a link and so not
// written (the trace itself cannot say it).
void ReportRefusedTraceFile(const wchar_t* path, const wchar_t* why, bool& reported);
