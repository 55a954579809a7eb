#include "TraceCommand.h"
#include "CTraceSettings.h"
#include "ErrorText.h"
#include "TraceFolder.h"
#include "trace/CTrace.h"
#include "util/CRegistryKey.h"
#include "util/StringFormat.h"
#include <cstring>
#include <memory>
#include <sstream>
#include <cwctype>

namespace
{
constexpr size_t kLongestPath = 259; // the trace reads at most 520 bytes of "TraceFile"

// "4096", "64K", "10M", "1G".
bool ParseSize(std::wstring text, unsigned long long& bytes)
{
    unsigned long long unit = 1;
    const wchar_t suffix = text.empty() ? L'\0' : static_cast<wchar_t>(towupper(text.back()));
    const wchar_t* units = L"KMG";
    if (const wchar_t* found = suffix ? wcschr(units, suffix) : nullptr)
    {
        unit = 1ull << (10 * (found - units + 1));
        text.pop_back();
    }
    return ParseNumber(text, bytes) && (bytes *= unit, true);
}

int ReportWrite(CConsoleOutput& err, LONG status)
{
    err << L"Cannot change HKLM\\" << CTraceSettings::kGlobalKey << L": "
        << ErrorText(static_cast<DWORD>(status))
        << (status == ERROR_ACCESS_DENIED ? L" (run the tool as administrator)" : L"") << L"\r\n";
    return kExitFailed;
}

// "trace on" as given, each value still as typed.
struct TraceOnOptions
{
    std::vector<std::string> sinks{"file"};
    std::string level = "6";
    std::string path;
    std::string limit;
    std::vector<std::string> prefixes{"date", "time"};
    std::string dynamic;
    bool force = false;
};

CTraceSettings Settings(const TraceOnOptions& options)
{
    CTraceSettings settings;
    unsigned long long number = 0;
    if (!ParseNumber(Wide(options.level), number) || number < 1 || number > 6)
    {
        RejectValue(L"--level needs a number from 1 to 6");
    }
    const DWORD level = static_cast<DWORD>(number);
    for (const std::string& given : options.sinks)
    {
        const std::wstring sink = Lower(given);
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
            RejectValue(L"--sink needs file, ring, console, debugger or msilog, not " + Wide(given));
        }
    }
    settings.path = options.path.empty() ? kDefaultTracePath : Wide(options.path);
    if (settings.path.size() > kLongestPath)
    {
        RejectValue(L"--path needs a path of at most 259 characters");
    }
    if (!options.limit.empty() &&
        (!ParseSize(Wide(options.limit), number) || !CTraceSettings::EncodeLimit(number, settings.limit)))
    {
        RejectValue(L"--limit needs a size from 1 byte to 2047M, or whole megabytes (4096, 64K, 10M)");
    }
    for (const std::string& given : options.prefixes)
    {
        const std::wstring prefix = Lower(given);
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
            RejectValue(L"--prefix needs date, time, thread, cpu, memory, handles, app or none, not " +
                        Wide(given));
        }
    }
    if (!options.dynamic.empty())
    {
        if (!ParseNumber(Wide(options.dynamic), number) || number > 0xFFFFFFFF)
        {
            RejectValue(L"--dynamic needs a number of seconds");
        }
        settings.setDynamicUpdate = true;
        settings.dynamicUpdate = static_cast<DWORD>(number);
    }
    settings.forceEnabled = options.force;
    return settings;
}

int TurnOn(const CTraceSettings& settings, CConsoleOutput& err)
{
    std::wstring warning, error;
    if (settings.fileLevel != 0 && !PrepareTraceFolder(settings.path, warning, error))
    {
        err << error << L"\r\n";
        return kExitFailed;
    }
    if (!warning.empty())
    {
        err << warning << L"\r\n";
    }
    const LONG status = settings.Write();
    if (status != ERROR_SUCCESS)
    {
        return ReportWrite(err, status);
    }
    if (CTraceSettings::IsSwitchedOff())
    {
        err << L"HKLM\\" << CTraceSettings::kGlobalKey
            << L" has TraceEnabled 0: another application switched all tracing off there, so MsiCA's trace "
               L"stays silent. --force sets it to 1 (trace off puts the 0 back).\r\n";
        return kExitFailed;
    }
    return kExitDone;
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
void ShowValues(std::wostringstream& out, const wchar_t* path)
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

} // namespace

std::wstring TraceSettingsText()
{
    std::wostringstream out;
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
    return out.str();
}

void AddTraceCommand(CLI::App& tool, CToolStreams& streams)
{
    CLI::App& trace = *tool.add_subcommand("trace", "Turns MsiCA's trace on or off, or shows its settings.");
    trace.require_subcommand(1);

    CLI::App& on = *trace.add_subcommand(
        "on", "Turns the trace on with the sinks named and no others (they replace the whole "
              "configuration), and shows the settings.");
    auto options = std::make_shared<TraceOnOptions>();
    on.add_option("--sink", options->sinks,
                  "file, ring, console, debugger or msilog (the installer's verbose log of each running "
                  "action); repeat or separate by commas. Default: file")
        ->type_name("SINK")
        ->delimiter(',')
        ->allow_extra_args(false);
    on.add_option("--level", options->level, "6 writes everything (default), 1 only errors and results")
        ->type_name("1-6");
    on.add_option("--path", options->path,
                  "The trace file. Default: %ProgramData%\\MsiCA\\MsiCA-trace.log, in a folder the tool "
                  "creates that only the system and administrators may change; another folder is checked "
                  "and a warning shown when other users may create files in it")
        ->type_name("FILE");
    on.add_option("--limit", options->limit,
                  "Bytes, or with K, M or G: where a file is rotated to FILE.txt, or a ring's fixed size. "
                  "Default: 50M")
        ->type_name("SIZE");
    on.add_option("--prefix", options->prefixes,
                  "Line prefixes: date, time, thread, cpu, memory, handles, app or none. Default: date,time")
        ->type_name("PREFIX")
        ->delimiter(',')
        ->allow_extra_args(false);
    on.add_option("--dynamic", options->dynamic,
                  "Running processes re-read the settings every SECONDS (0 stops it)")
        ->type_name("SECONDS");
    on.add_flag("--force", options->force,
                "Where another application has set HKLM\\SOFTWARE\\Debug's TraceEnabled to 0, set it to 1");
    on.callback([options, &streams] {
        const CTraceSettings settings = Settings(*options);
        streams.exitCode = TurnOn(settings, streams.err);
        if (streams.exitCode == kExitDone)
        {
            streams.out << TraceSettingsText();
        }
    });

    trace
        .add_subcommand("off", "Removes the trace's settings (and HKLM\\SOFTWARE\\Debug when nothing else "
                               "uses it).")
        ->callback([&streams] {
            bool globalRemoved = false;
            const LONG status = CTraceSettings::Remove(globalRemoved);
            if (status != ERROR_SUCCESS)
            {
                streams.exitCode = ReportWrite(streams.err, status);
                return;
            }
            streams.out << L"Trace settings removed"
                        << (globalRemoved ? L", with HKLM\\SOFTWARE\\Debug" : L"") << L".\r\n";
        });
    trace
        .add_subcommand("show",
                        "Prints what is configured now, as the trace reads it, and the registry values.")
        ->callback([&streams] { streams.out << TraceSettingsText(); });
}
