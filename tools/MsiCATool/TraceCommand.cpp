#include "TraceCommand.h"
#include "CTraceSettings.h"
#include "ErrorText.h"
#include "TraceFolder.h"
#include "trace/CTrace.h"
#include "util/CRegistryKey.h"
#include "util/StringFormat.h"
#include <cstring>
#include <cwctype>

const wchar_t kTraceUsage[] =
    L"  trace on [--sink file|ring|console|debugger|msilog]... [--level 1-6] [--path FILE]\r\n"
    L"           [--limit SIZE] [--prefix date,time,thread,cpu,memory,handles,app|none]\r\n"
    L"           [--dynamic SECONDS]\r\n"
    L"      Turns the trace on with these sinks (default: file) and no others. Level 6 writes\r\n"
    L"      everything (default), 1 only errors and results. FILE defaults to\r\n"
    L"      %ProgramData%\\MsiCA\\MsiCA-trace.log, in a folder the tool creates that only the system\r\n"
    L"      and administrators may change; another FILE's folder is checked and a warning shown\r\n"
    L"      when other users may create files in it. SIZE (bytes, or with K, M or G) is where a file\r\n"
    L"      is rotated to FILE.txt, or a ring's fixed size (default 50M). Prefixes default to\r\n"
    L"      date,time. --dynamic makes running processes re-read the settings. msilog sends the\r\n"
    L"      lines of each running action into the installer's verbose log (msiexec /l*v).\r\n"
    L"  trace off\r\n"
    L"      Removes the trace's settings (and HKLM\\SOFTWARE\\Debug when nothing else uses it).\r\n"
    L"  trace show\r\n"
    L"      Prints what is configured now, as the trace reads it, and the registry values.\r\n";

namespace
{
constexpr size_t kLongestPath = 259; // the trace reads at most 520 bytes of "TraceFile"

bool ParseNumber(const std::wstring& text, ULONGLONG& value)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
    {
        return false;
    }
    value = std::stoull(text);
    return true;
}

// "4096", "64K", "10M", "1G".
bool ParseSize(std::wstring text, ULONGLONG& bytes)
{
    ULONGLONG unit = 1;
    const wchar_t suffix = text.empty() ? L'\0' : static_cast<wchar_t>(towupper(text.back()));
    const wchar_t* units = L"KMG";
    if (const wchar_t* found = suffix ? wcschr(units, suffix) : nullptr)
    {
        unit = 1ull << (10 * (found - units + 1));
        text.pop_back();
    }
    return ParseNumber(text, bytes) && (bytes *= unit, true);
}

int Fail(CConsoleOutput& err, const std::wstring& message)
{
    err << message << L"\r\n";
    return 2;
}

int ReportWrite(CConsoleOutput& err, LONG status)
{
    err << L"Cannot change HKLM\\" << CTraceSettings::kGlobalKey << L": "
        << ErrorText(static_cast<DWORD>(status))
        << (status == ERROR_ACCESS_DENIED ? L" (run the tool as administrator)" : L"") << L"\r\n";
    return 1;
}

int TurnOn(CArguments& arguments, CConsoleOutput& err)
{
    CTraceSettings settings;
    std::wstring text;
    ULONGLONG number = 6;
    if (arguments.Value(L"level", text) && (!ParseNumber(text, number) || number < 1 || number > 6))
    {
        return Fail(err, L"--level takes 1 to 6");
    }
    const DWORD level = static_cast<DWORD>(number);
    std::vector<std::wstring> sinks = arguments.Values(L"sink");
    if (sinks.empty())
    {
        sinks.push_back(L"file");
    }
    for (const std::wstring& sink : sinks)
    {
        if (sink == L"file" || sink == L"ring")
        {
            settings.fileLevel = level;
            settings.ring = sink == L"ring";
        }
        else if (sink == L"console")
        {
            settings.consoleLevel = level;
        }
        else if (sink == L"debugger")
        {
            settings.debuggerLevel = level;
        }
        else if (sink == L"msilog")
        {
            settings.msiLogLevel = level;
        }
        else
        {
            return Fail(err, L"Unknown sink \"" + sink + L"\": file, ring, console, debugger or msilog");
        }
    }
    settings.path = kDefaultTracePath;
    if (arguments.Value(L"path", settings.path) &&
        (settings.path.empty() || settings.path.size() > kLongestPath))
    {
        return Fail(err, L"--path takes a path of 1 to 259 characters");
    }
    if (arguments.Value(L"limit", text) &&
        (!ParseSize(text, number) || !CTraceSettings::EncodeLimit(number, settings.limit)))
    {
        return Fail(err, L"--limit takes a size from 1 byte to 2047 MiB, or whole MiB");
    }
    std::vector<std::wstring> prefixes = arguments.Values(L"prefix");
    if (prefixes.empty())
    {
        prefixes = {L"date", L"time"};
    }
    for (const std::wstring& prefix : prefixes)
    {
        bool known = prefix == L"none";
        for (size_t i = 0; i < ARRAYSIZE(CTraceSettings::kPrefixes); ++i)
        {
            if (prefix == CTraceSettings::kPrefixes[i].name)
            {
                settings.prefixOn[i] = known = true;
            }
        }
        if (!known)
        {
            return Fail(err, L"Unknown prefix \"" + prefix + L"\"");
        }
    }
    if (arguments.Value(L"dynamic", text))
    {
        if (!ParseNumber(text, number) || number > 0xFFFFFFFF)
        {
            return Fail(err, L"--dynamic takes a number of seconds");
        }
        settings.setDynamicUpdate = true;
        settings.dynamicUpdate = static_cast<DWORD>(number);
    }
    if (!arguments.Error().empty() || !arguments.Unknown().empty() || arguments.Positionals().size() != 1)
    {
        return Fail(err, L"Usage:\r\n" + std::wstring(kTraceUsage));
    }
    std::wstring warning, error;
    if (settings.fileLevel != 0 && !PrepareTraceFolder(settings.path, warning, error))
    {
        err << error << L"\r\n";
        return 1;
    }
    if (!warning.empty())
    {
        err << warning << L"\r\n";
    }
    const LONG status = settings.Write();
    return status == ERROR_SUCCESS ? 0 : ReportWrite(err, status);
}

std::wstring TypeName(DWORD type)
{
    switch (type)
    {
    case REG_DWORD:
        return L"REG_DWORD";
    case REG_SZ:
        return L"REG_SZ";
    case REG_EXPAND_SZ:
        return L"REG_EXPAND_SZ";
    default:
        return L"type " + std::to_wstring(type);
    }
}

// Every value of a key as stored, so that a value the trace ignores shows too.
void ShowValues(CConsoleOutput& out, const wchar_t* path)
{
    CRegistryKey key;
    if (key.Open(path, KEY_QUERY_VALUE | KEY_WOW64_64KEY) != ERROR_SUCCESS)
    {
        out << L"  " << path << L" (absent)\r\n";
        return;
    }
    out << L"  " << path << L"\r\n";
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256];
        DWORD nameLength = ARRAYSIZE(name);
        DWORD type = 0;
        BYTE data[1040] = {};
        DWORD size = sizeof(data) - sizeof(wchar_t);
        const LONG status = RegEnumValueW(key.Key(), index, name, &nameLength, nullptr, &type, data, &size);
        if (status == ERROR_NO_MORE_ITEMS)
        {
            break;
        }
        std::wstring shown;
        if (status != ERROR_SUCCESS)
        {
            shown = ErrorText(static_cast<DWORD>(status));
        }
        else if (type == REG_DWORD && size == sizeof(DWORD))
        {
            DWORD value;
            memcpy(&value, data, sizeof(value));
            FormatString(shown, L"%u (0x%X)", value, value);
        }
        else if (type == REG_SZ || type == REG_EXPAND_SZ)
        {
            shown = reinterpret_cast<const wchar_t*>(data);
        }
        else
        {
            shown = std::to_wstring(size) + L" bytes";
        }
        out << L"    " << name << L" = " << shown << L"  [" << TypeName(type) << L"]\r\n";
    }
}

std::wstring LevelText(DWORD level)
{
    return level ? L"level " + std::to_wstring(level) : L"off";
}

// The settings as the library's own trace object reads them.
int Show(CConsoleOutput& out)
{
    g_Trace.ReadConfig();
    const bool fileOn = g_Trace.FileLevel() != 0 && *g_Trace.FilePath();
    const bool anySink = fileOn || g_Trace.ConsoleLevel() || g_Trace.DebuggerLevel() || g_Trace.MsiLogLevel();
    out << L"MsiCA trace: " << (g_Trace.IsTraceEnabled() && anySink ? L"on" : L"off") << L"\r\n";
    if (!g_Trace.IsTraceEnabled())
    {
        out << L"  (HKLM\\SOFTWARE\\Debug is absent, or its TraceEnabled is 0)\r\n";
    }
    out << L"  file      ";
    if (fileOn)
    {
        out << LevelText(g_Trace.FileLevel()) << L", "
            << (g_Trace.IsMemoryMapped() ? L"ring of " : L"rotated at ") << g_Trace.FileSizeLimit()
            << L" bytes: " << g_Trace.FilePath() << L"\r\n";
    }
    else
    {
        out << L"off\r\n";
    }
    out << L"  console   " << LevelText(g_Trace.ConsoleLevel()) << L"\r\n";
    out << L"  debugger  " << LevelText(g_Trace.DebuggerLevel()) << L"\r\n";
    out << L"  msi log   " << LevelText(g_Trace.MsiLogLevel()) << L"\r\n";
    out << L"  re-read   "
        << (g_Trace.DynamicUpdate() ? L"every " + std::to_wstring(g_Trace.DynamicUpdate()) + L" s" : L"never")
        << L"\r\n";
    out << L"Registry values below HKLM:\r\n";
    ShowValues(out, CTraceSettings::kGlobalKey);
    ShowValues(out, CTraceSettings::kApplicationKey);
    return 0;
}
} // namespace

int RunTraceCommand(CArguments& arguments, CConsoleOutput& out, CConsoleOutput& err)
{
    const std::vector<std::wstring> words = arguments.Positionals();
    const std::wstring verb = words.empty() ? L"" : words[0];
    if (verb == L"on")
    {
        const int result = TurnOn(arguments, err);
        return result == 0 ? Show(out) : result;
    }
    if ((verb == L"off" || verb == L"show") && (words.size() > 1 || !arguments.Unknown().empty()))
    {
        return Fail(err, L"Usage:\r\n" + std::wstring(kTraceUsage));
    }
    if (verb == L"off")
    {
        bool globalRemoved = false;
        const LONG status = CTraceSettings::Remove(globalRemoved);
        if (status != ERROR_SUCCESS)
        {
            return ReportWrite(err, status);
        }
        out << L"Trace settings removed" << (globalRemoved ? L", with HKLM\\SOFTWARE\\Debug" : L"")
            << L".\r\n";
        return 0;
    }
    if (verb == L"show")
    {
        return Show(out);
    }
    return Fail(err, L"Usage:\r\n" + std::wstring(kTraceUsage));
}
