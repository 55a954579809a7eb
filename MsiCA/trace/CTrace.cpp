#include "trace/CTrace.h"
#include "util/CRegistryKey.h"
#include "util/GuardedCall.h"
#include "util/ProcAddress.h"
#include "util/StringFormat.h"
#include <psapi.h>
#include <cwchar>
#include <memory>
#include <new>
#include <strsafe.h>

CTrace g_Trace;

namespace
{
const wchar_t kGlobalKey[] = L"SOFTWARE\\Debug";
constexpr DWORD kQueryAccess = KEY_QUERY_VALUE | KEY_WOW64_64KEY;
constexpr DWORD kTraceFileMaxBytes = 520;
constexpr size_t kDebuggerBufferSize = 65792;
constexpr size_t kDebuggerLineMax = 65790;

const wchar_t kAllocationFailed[] =
    L"\n################ ERROR in TRACE - BUFFER ALLOCATION FAILED! ################";
const wchar_t kBufferTooSmall[] =
    L"\n################ ERROR in TRACE - BUFFER TOO SMALL - FIXME! ################";
const wchar_t kExceptionNotice[] =
    L"\n\n#################################### EXCEPTION in TRACE "
    L"####################################\nAppName=%s, ThreadId=%06u, Date/Time=%04u-%02u-%02u "
    L"%02u:%02u:%02u.%03u\nFormat: \"%s\"\n"
    L"############################################################################################\n";

// A number in the registry counts only when it reads as exactly four bytes.
bool ReadDword(CRegistryKey& key, const wchar_t* name, DWORD& value)
{
    DWORD read = 0;
    if (key.QueryDword(read, name) != ERROR_SUCCESS || key.DataSize() != sizeof(DWORD))
    {
        return false;
    }
    value = read;
    return true;
}

DWORD DwordOr(CRegistryKey& key, const wchar_t* name, DWORD fallback)
{
    DWORD value = fallback;
    ReadDword(key, name, value);
    return value;
}

bool FlagOn(CRegistryKey& key, const wchar_t* name)
{
    return DwordOr(key, name, 0) != 0;
}

// Bit 31 set: the low 31 bits are bytes; any other non-zero value is MiB.
ULONGLONG DecodeFileSizeLimit(DWORD value)
{
    if (value & 0x80000000u)
    {
        return value & 0x7FFFFFFFu;
    }
    return value ? ULONGLONG(value) * 1024 * 1024 : CTrace::kDefaultFileSizeLimit;
}

// "TraceFile": REG_SZ taken as it is, REG_EXPAND_SZ expanded; anything else leaves no path.
void ReadTraceFilePath(CRegistryKey& key, wchar_t (&path)[MAX_PATH])
{
    path[0] = L'\0';
    if (!key.QueryValue(L"TraceFile") || key.Status() != ERROR_SUCCESS)
    {
        return;
    }
    const DWORD type = key.DataType();
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || key.DataSize() > kTraceFileMaxBytes)
    {
        return;
    }
    StringCchCopyNW(path, MAX_PATH, key.Text(), MAX_PATH - 1);
}

ULONGLONG SecondsSinceStart()
{
    using TickCount64 = ULONGLONG(WINAPI*)();
    const auto tickCount64 = GetProcAddressAs<TickCount64>(GetModuleHandleW(L"kernel32"), "GetTickCount64");
    return (tickCount64 ? tickCount64() : GetTickCount()) / 1000;
}

bool GetProcessorNumber(unsigned& number)
{
    const HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel)
    {
        return false;
    }
    // Windows 7's processor groups, looked up so that the library still loads on Vista.
    struct ProcessorNumber
    {
        WORD Group;
        BYTE Number;
        BYTE Reserved;
    };
    using GroupCount = WORD(WINAPI*)();
    using ProcessorCount = DWORD(WINAPI*)(WORD);
    using NumberEx = VOID(WINAPI*)(ProcessorNumber*);
    using Number = DWORD(WINAPI*)();
    const auto groupCount = GetProcAddressAs<GroupCount>(kernel, "GetActiveProcessorGroupCount");
    const auto processorCount = GetProcAddressAs<ProcessorCount>(kernel, "GetActiveProcessorCount");
    const auto numberEx = GetProcAddressAs<NumberEx>(kernel, "GetCurrentProcessorNumberEx");
    if (groupCount && processorCount && numberEx)
    {
        ProcessorNumber current{};
        numberEx(&current);
        if (current.Group == 0)
        {
            number = current.Number;
            return true;
        }
        const WORD groups = groupCount();
        if (groups == 0 || current.Group >= groups)
        {
            return false;
        }
        unsigned total = 0;
        for (WORD group = 0; group < current.Group; ++group)
        {
            total += processorCount(group);
        }
        number = total + current.Number;
        return true;
    }
    const auto plain = GetProcAddressAs<Number>(kernel, "GetCurrentProcessorNumber");
    number = plain ? plain() : 0;
    return true;
}

bool GetMemoryFigures(CTraceMemoryInfo function, unsigned& privateKb, unsigned& workingSetKb)
{
    if (!function)
    {
        return false;
    }
    PROCESS_MEMORY_COUNTERS_EX counters{};
    if (!function(GetCurrentProcess(), reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), 80))
    {
        return false;
    }
    privateKb = workingSetKb = 0;
    if (counters.cb >= 80)
    {
        privateKb = static_cast<unsigned>(counters.PrivateUsage / 1024);
        workingSetKb = static_cast<unsigned>(counters.WorkingSetSize / 1024);
    }
    else if (counters.cb >= 72)
    {
        privateKb = static_cast<unsigned>(counters.PagefileUsage / 1024);
    }
    return true;
}

// Appends to a line buffer with truncating, always-terminated formatting.
void AppendFormat(wchar_t* text, size_t size, size_t& length, const wchar_t* format, ...)
{
    if (length + 1 >= size)
    {
        return;
    }
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(text + length, size - length, format, args);
    va_end(args);
    length += wcslen(text + length);
}
} // namespace

CTrace::CTrace(const wchar_t* applicationName)
{
    StringCchCopyW(m_applicationName, ARRAYSIZE(m_applicationName), applicationName);
    ReadConfig();
}

CTrace::~CTrace()
{
    // psapi stays loaded: unloading runs under the loader lock, where no library may be freed.
    m_file.CloseMutex();
    m_ring.Reset();
}

CTraceMemoryInfo CTrace::MemoryInfoFunction()
{
    // Older systems have it in psapi only, loaded once outside the loader lock, where loading a
    // library can deadlock.
    if (!m_getProcessMemoryInfo && !m_psapiTried && !m_inLoaderLock)
    {
        m_psapiTried = true;
        m_getProcessMemoryInfo =
            GetProcAddressAs<CTraceMemoryInfo>(LoadLibraryW(L"psapi"), "GetProcessMemoryInfo");
    }
    return m_getProcessMemoryInfo;
}

void CTrace::ReadConfig()
{
    m_active = false;
    m_timeStampOn = m_dateStampOn = m_threadIdOn = m_cpuIdOn = false;
    m_applicationNameOn = m_memoryUsageOn = m_handleCountOn = false;
    m_traceEnabled = false;
    m_dynamicUpdate = 0;

    {
        CRegistryKey global;
        if (global.Open(kGlobalKey, kQueryAccess) == ERROR_SUCCESS)
        {
            m_dynamicUpdate = DwordOr(global, L"DynamicUpdate", 0);
            m_traceEnabled = DwordOr(global, L"TraceEnabled", 1) != 0;
        }
    }
    if (m_dynamicUpdate != 0)
    {
        m_active = true;
    }

    wchar_t applicationKey[MAX_PATH];
    StringCchPrintfW(applicationKey, MAX_PATH, L"%s\\%s", kGlobalKey, m_applicationName);
    CRegistryKey key;
    if (key.Open(applicationKey, kQueryAccess) == ERROR_SUCCESS)
    {
        m_timeStampOn = FlagOn(key, L"TimeStampOn");
        m_dateStampOn = FlagOn(key, L"DateStampOn");
        m_threadIdOn = FlagOn(key, L"ThreadIdOn");
        m_cpuIdOn = FlagOn(key, L"CpuIdOn");
        m_applicationNameOn = FlagOn(key, L"AppNameOn");
        m_memoryUsageOn = FlagOn(key, L"MemUsageOn");
        m_handleCountOn = FlagOn(key, L"HandleCountOn");
        const DWORD consoleLevel = DwordOr(key, L"ConDebugLevel", 0);
        const DWORD debuggerLevel = DwordOr(key, L"WinDebugLevel", 0);

        const DWORD fileLevel = DwordOr(key, L"FileDebugLevel", 0);
        ULONGLONG limit = kDefaultFileSizeLimit;
        wchar_t path[MAX_PATH] = L"";
        bool memoryMapped = false;
        if (fileLevel != 0)
        {
            limit = DecodeFileSizeLimit(DwordOr(key, L"TraceFileLimit", 0));
            ReadTraceFilePath(key, path);
            memoryMapped = FlagOn(key, L"TraceFileMemoryMapped");
        }
        if (ConfigureFileSink(fileLevel, path, memoryMapped, limit))
        {
            m_active = true;
        }

        m_consoleLevel = consoleLevel;
        if (m_consoleLevel != 0)
        {
            if (m_console == INVALID_HANDLE_VALUE)
            {
                AllocConsole(); // fails harmlessly in a process that has a console already
                m_console = GetStdHandle(STD_OUTPUT_HANDLE);
            }
            m_active = true;
        }
        m_debuggerLevel = debuggerLevel;
        if (m_debuggerLevel != 0)
        {
            m_active = true;
        }
        m_msiLog.SetLevel(DwordOr(key, L"MsiLogDebugLevel", 0));
        if (m_msiLog.Level() != 0)
        {
            m_active = true;
        }
        if (m_memoryUsageOn && !m_getProcessMemoryInfo)
        {
            // Windows 7 on: kernel32, loaded already, has it; loading psapi waits for Print.
            m_getProcessMemoryInfo =
                GetProcAddressAs<CTraceMemoryInfo>(GetModuleHandleW(L"kernel32"), "K32GetProcessMemoryInfo");
        }
    }
    m_lastRead = SecondsSinceStart();
}

bool CTrace::ConfigureFileSink(DWORD level, const wchar_t* path, bool memoryMapped, ULONGLONG limit)
{
    // A re-read that leaves the ring as it is keeps it open and mapped: closing cuts it, and
    // each reopening costs a search for its marker. Any change releases it first.
    const bool sameRing = level != 0 && memoryMapped && m_memoryMapped && limit == m_fileSizeLimit &&
                          wcscmp(path, m_filePath) == 0;
    if (!sameRing)
    {
        m_ring.Reset();
    }
    m_fileLevel = level;
    m_fileSizeLimit = limit;
    m_memoryMapped = memoryMapped;
    if (level != 0 && wcscmp(path, m_filePath) != 0)
    {
        m_file.CloseMutex();
        m_filePath[0] = L'\0';
        if (*path)
        {
            StringCchCopyW(m_filePath, MAX_PATH, path);
        }
    }
    if (level != 0 && *m_filePath && !memoryMapped && !m_file.HasMutex())
    {
        m_file.CreateMutexFor(m_filePath);
    }
    return level > 0 && *path;
}

void CTrace::CheckDynamicUpdate()
{
    if (m_dynamicUpdate == 0)
    {
        return;
    }
    const ULONGLONG now = SecondsSinceStart();
    if (now >= m_lastRead + m_dynamicUpdate || now < m_lastRead)
    {
        ReadConfig();
    }
}

void CTrace::Print(unsigned level, const wchar_t* format, ...)
{
    if (!format)
    {
        return;
    }
    const DWORD savedError = GetLastError();
    wchar_t stackBuffer[kLineBufferSize];
    wchar_t* heapBuffer = nullptr; // released here, also after a fault
    va_list args;
    va_start(args, format);
    const DWORD fault = Guarded([&] {
        CheckDynamicUpdate();
        const unsigned effective = level == 0 ? 1 : level;
        if (!m_traceEnabled || (m_fileLevel < effective && m_consoleLevel < effective &&
                                m_debuggerLevel < effective && !m_msiLog.Accepts(effective)))
        {
            return;
        }
        PrintLine(effective, format, args, stackBuffer, heapBuffer);
    });
    va_end(args);
    delete[] heapBuffer;
    if (fault != 0)
    {
        WriteExceptionNotice(format);
        return;
    }
    SetLastError(savedError);
}

void CTrace::PrintLine(unsigned level, const wchar_t* format, va_list args, wchar_t* stackBuffer,
                       wchar_t*& heapBuffer)
{
    const long long needed = FormattedLength(format, args);
    Line line{stackBuffer, kLineBufferSize, 0};
    if (needed + 256 >= static_cast<long long>(kLineBufferSize))
    {
        const size_t size = static_cast<size_t>(needed + 256);
        heapBuffer = new (std::nothrow) wchar_t[size];
        if (!heapBuffer)
        {
            Dispatch(level, kAllocationFailed, wcslen(kAllocationFailed));
            return;
        }
        line = Line{heapBuffer, size, 0};
    }

    // Line feeds that begin the format stand before the prefixes.
    const wchar_t* rest = format;
    while (*rest == L'\n' && line.length < line.size - 1)
    {
        line.text[line.length++] = L'\n';
        ++rest;
    }
    line.text[line.length] = L'\0';
    AppendPrefixes(line);

    if (needed + static_cast<long long>(line.length) < static_cast<long long>(line.size))
    {
        StringCchVPrintfW(line.text + line.length, line.size - line.length, rest, args);
        // The measured length spares the ring a scan of its own; it stops at the terminator.
        Dispatch(level, line.text,
                 needed >= 0 ? line.length + static_cast<size_t>(needed) : wcslen(line.text));
    }
    else
    {
        Dispatch(level, kBufferTooSmall, wcslen(kBufferTooSmall));
    }
}

void CTrace::AppendPrefixes(Line& line)
{
    if (m_dateStampOn)
    {
        SYSTEMTIME now;
        GetLocalTime(&now);
        AppendFormat(line.text, line.size, line.length, L"[%02u-%02u-%02u] ", now.wYear, now.wMonth,
                     now.wDay);
    }
    if (m_timeStampOn)
    {
        SYSTEMTIME now;
        GetLocalTime(&now);
        AppendFormat(line.text, line.size, line.length, L"[%02u:%02u:%02u.%03u] ", now.wHour, now.wMinute,
                     now.wSecond, now.wMilliseconds);
    }
    if (m_threadIdOn)
    {
        AppendFormat(line.text, line.size, line.length, L"(%06u) ", GetCurrentThreadId());
    }
    unsigned processor = 0;
    if (m_cpuIdOn && GetProcessorNumber(processor))
    {
        AppendFormat(line.text, line.size, line.length, L"#%02u ", processor);
    }
    unsigned privateKb = 0;
    unsigned workingSetKb = 0;
    if (m_memoryUsageOn && GetMemoryFigures(MemoryInfoFunction(), privateKb, workingSetKb))
    {
        AppendFormat(line.text, line.size, line.length, L"{PB %05ukB, MU %05ukB} ", privateKb, workingSetKb);
    }
    DWORD handles = 0;
    if (m_handleCountOn && GetProcessHandleCount(GetCurrentProcess(), &handles))
    {
        AppendFormat(line.text, line.size, line.length, L"{%03u H} ", handles);
    }
    if (m_applicationNameOn)
    {
        const size_t start = line.length;
        AppendFormat(line.text, line.size, line.length, L"%-13s  ", m_applicationName);
        const size_t colon = start + wcslen(m_applicationName);
        if (colon < line.length)
        {
            line.text[colon] = L':';
        }
    }
}

void CTrace::Dispatch(unsigned level, const wchar_t* text, size_t length)
{
    if (m_fileLevel >= level)
    {
        WriteToFile(text, length);
    }
    if (m_consoleLevel >= level)
    {
        WriteToConsole(text);
    }
    if (m_debuggerLevel >= level)
    {
        WriteToDebugger(text);
    }
    if (m_msiLog.Accepts(level))
    {
        m_msiLog.Write(text);
    }
}

void CTrace::WriteToFile(const wchar_t* text, size_t length)
{
    if (m_memoryMapped)
    {
        m_ring.Write(m_filePath, m_fileSizeLimit, text, length);
    }
    else
    {
        m_file.Write(m_filePath, m_fileSizeLimit, text);
    }
}

bool CTrace::WriteToConsole(const wchar_t* text)
{
    if (m_console == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    volatile bool written = false;
    Guarded([&] {
        DWORD count = 0;
        written = WriteConsoleW(m_console, text, static_cast<DWORD>(wcslen(text)), &count, nullptr) != FALSE;
    });
    return written;
}

bool CTrace::WriteToDebugger(const wchar_t* text)
{
    if (*text == L'\n')
    {
        ++text;
    }
    std::unique_ptr<wchar_t[]> work(new (std::nothrow) wchar_t[kDebuggerBufferSize]);
    if (!work)
    {
        return true;
    }
    while (*text)
    {
        const wchar_t* end = wcschr(text, L'\n');
        const size_t length = end ? static_cast<size_t>(end - text) : wcslen(text);
        const size_t kept = length < kDebuggerLineMax ? length : kDebuggerLineMax;
        wmemcpy(work.get(), text, kept);
        work[kept] = L'\n';
        work[kept + 1] = L'\0';
        OutputDebugStringW(work.get());
        if (!end)
        {
            break;
        }
        text = end + 1;
    }
    return true;
}

void CTrace::WriteExceptionNotice(const wchar_t* format)
{
    // The format itself may be the bad pointer: copy what can be read of it.
    wchar_t shown[80] = L"";
    Guarded([&] {
        const wchar_t* source = *format == L'\n' ? format + 1 : format;
        const size_t length = wcsnlen(source, 80);
        if (length > 79)
        {
            wmemcpy(shown, source, 76);
            wmemcpy(shown + 76, L"...", 4);
        }
        else
        {
            wmemcpy(shown, source, length);
            shown[length] = L'\0';
        }
    });
    shown[79] = L'\0';

    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t notice[kLineBufferSize];
    StringCchPrintfW(notice, kLineBufferSize, kExceptionNotice, m_applicationName, GetCurrentThreadId(),
                     now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                     shown);
    Guarded([&] {
        if (m_fileLevel != 0)
        {
            WriteToFile(notice, wcslen(notice));
        }
        if (m_consoleLevel != 0)
        {
            WriteToConsole(notice);
        }
        WriteToDebugger(notice);
        if (m_msiLog.Accepts(1))
        {
            m_msiLog.Write(notice);
        }
    });
}
