#pragma once
#include <windows.h>
#include <string>

// The trace's registry configuration as the tool writes it: below HKLM\SOFTWARE\Debug the
// master switch and re-read interval, below HKLM\SOFTWARE\Debug\MsiCA the sinks, their
// levels and the line prefixes.
class CTraceSettings
{
  public:
    struct Prefix
    {
        const wchar_t* name;  // as the tool's user writes it
        const wchar_t* value; // as the trace reads it
    };
    static const Prefix kPrefixes[7];
    static constexpr const wchar_t* kGlobalKey = L"SOFTWARE\\Debug";
    static constexpr const wchar_t* kApplicationKey = L"SOFTWARE\\Debug\\MsiCA";

    DWORD fileLevel = 0;
    DWORD consoleLevel = 0;
    DWORD debuggerLevel = 0;
    DWORD msiLogLevel = 0; // the installer's verbose log of the running action
    bool ring = false;
    std::wstring path;
    DWORD limit = 0; // "TraceFileLimit" as stored; 0 leaves the trace's default
    bool prefixOn[7] = {};
    bool setDynamicUpdate = false;
    DWORD dynamicUpdate = 0;   // 0 deletes "DynamicUpdate"
    bool forceEnabled = false; // "TraceEnabled" 0, another application's choice, becomes 1

    // The registry value for a size in bytes: whole MiB as such, else bytes with bit 31;
    // false when the trace cannot express it.
    static bool EncodeLimit(ULONGLONG bytes, DWORD& value);

    // Whether the global "TraceEnabled" is 0: all tracing switched off, by whoever set it.
    static bool IsSwitchedOff();
    // Writes the application key's values, creating the keys. Of the global key, which other
    // applications share, only what was asked for, keeping in the application key what
    // it was before. 0 or the first failure.
    LONG Write() const;
    // Puts back the global values Write changed, removes the application key, and the global
    // one when nothing is left in it; 0 or the failure.
    static LONG Remove(bool& globalRemoved);
};
