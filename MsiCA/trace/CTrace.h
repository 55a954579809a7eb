#pragma once
#include "trace/CMsiLogSink.h"
#include "trace/CRingFile.h"
#include "trace/CTraceFile.h"
#include <windows.h>
#include <psapi.h>

using CTraceMemoryInfo = BOOL(WINAPI*)(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD size);

// The library's diagnostic trace: one formatted line at a level (1 errors .. 6 per-item
// detail) sent to the sinks that the registry configures below HKLM\SOFTWARE\Debug and
// HKLM\SOFTWARE\Debug\<application name>: a text file (ordinary or memory-mapped ring),
// the process console and the debugger.
class CTrace
{
  public:
    explicit CTrace(const wchar_t* applicationName = L"MsiCA");
    ~CTrace();
    CTrace(const CTrace&) = delete;
    CTrace& operator=(const CTrace&) = delete;

    void ReadConfig();
    bool ConfigureFileSink(DWORD level, const wchar_t* path, bool memoryMapped, ULONGLONG limit);

    // Callers test this first, so that a disabled trace formats nothing.
    bool IsActive() const { return m_active; }
    // Writes one printf-style line (Windows CRT format rules). Keeps the caller's last error.
    void Print(unsigned level, const wchar_t* format, ...);

    const wchar_t* FilePath() const { return m_filePath; }
    ULONGLONG FileSizeLimit() const { return m_fileSizeLimit; }
    DWORD FileLevel() const { return m_fileLevel; }
    bool IsMemoryMapped() const { return m_memoryMapped; }
    DWORD ConsoleLevel() const { return m_consoleLevel; }
    DWORD DebuggerLevel() const { return m_debuggerLevel; }
    bool IsTraceEnabled() const { return m_traceEnabled; }
    DWORD DynamicUpdate() const { return m_dynamicUpdate; }
    DWORD MsiLogLevel() const { return m_msiLog.Level(); }

    // Turns the trace off, re-reading included, until the next ReadConfig: for a program
    // that runs the library's code but must leave no trace lines of its own.
    void Silence()
    {
        m_traceEnabled = m_active = false;
        m_dynamicUpdate = 0;
    }

    // Whether the loader lock is held around the calls that follow (the library's DllMain):
    // no library is loaded then.
    void SetInLoaderLock(bool held) { m_inLoaderLock = held; }

    // The running custom action's installer handle, for the installer-log sink; 0 when no
    // action runs.
    void SetInstallHandle(MSIHANDLE install) { m_msiLog.SetInstallHandle(install); }

    static constexpr ULONGLONG kDefaultFileSizeLimit = 50ull * 1024 * 1024;
    static constexpr size_t kLineBufferSize = 512;

  private:
    // The memory-info function, loading psapi for it where kernel32 lacks it and that is safe.
    CTraceMemoryInfo MemoryInfoFunction();

    struct Line
    {
        wchar_t* text;
        size_t size;
        size_t length;
    };

    void PrintLine(unsigned level, const wchar_t* format, va_list args, wchar_t* stackBuffer,
                   wchar_t*& heapBuffer);
    void AppendPrefixes(Line& line);
    void Dispatch(unsigned level, const wchar_t* text, size_t length);
    void WriteExceptionNotice(const wchar_t* format);
    void WriteToFile(const wchar_t* text, size_t length);
    bool WriteToConsole(const wchar_t* text);
    static bool WriteToDebugger(const wchar_t* text);
    void CheckDynamicUpdate();

    wchar_t m_filePath[MAX_PATH] = {};
    ULONGLONG m_fileSizeLimit = kDefaultFileSizeLimit;
    CTraceFile m_file;
    DWORD m_fileLevel = 0;
    bool m_memoryMapped = false;
    CRingFile m_ring;
    DWORD m_consoleLevel = 0;
    HANDLE m_console = INVALID_HANDLE_VALUE;
    DWORD m_debuggerLevel = 0;
    CTraceMemoryInfo m_getProcessMemoryInfo = nullptr;
    bool m_psapiTried = false;
    bool m_inLoaderLock = false;
    wchar_t m_applicationName[48] = {};
    bool m_timeStampOn = false;
    bool m_dateStampOn = false;
    bool m_threadIdOn = false;
    bool m_cpuIdOn = false;
    bool m_applicationNameOn = false;
    bool m_memoryUsageOn = false;
    bool m_handleCountOn = false;
    bool m_traceEnabled = false;
    DWORD m_dynamicUpdate = 0;
    ULONGLONG m_lastRead = 0;
    bool m_active = false;
    CMsiLogSink m_msiLog;
};

// The one trace object of the library.
extern CTrace g_Trace;

// Every trace call goes through this: with the trace off it costs one test and leaves the
// arguments unevaluated.
#define TRACE(level, ...)                                                                                    \
    do                                                                                                       \
    {                                                                                                        \
        if (g_Trace.IsActive())                                                                              \
            g_Trace.Print((level), __VA_ARGS__);                                                             \
    } while (0)
