#include "InstallationDate.h"
#include <ctime>
#include <cwchar>

namespace
{
constexpr LONGLONG kTicksPerSecond = 10'000'000;
// 100-ns ticks from 1 January 1601 (file time) to 1 January 1970.
constexpr ULONGLONG kUnixEpochTicks = 116'444'736'000'000'000ull;
constexpr ULONGLONG kUnixEpochSeconds = 11'644'473'600ull;
constexpr size_t kDateChars = 100;

ULONGLONG Ticks(const FILETIME& time)
{
    return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Integer division that rounds half away from zero.
LONGLONG RoundedDivide(LONGLONG value, LONGLONG divisor)
{
    return (value >= 0 ? value + divisor / 2 : value - divisor / 2) / divisor;
}
} // namespace

bool LocalTimeValue(const SYSTEMTIME& utcNow, const SYSTEMTIME& localNow, const FILETIME& utcFileTimeNow,
                    LONG& value)
{
    FILETIME utc{};
    FILETIME local{};
    if (!SystemTimeToFileTime(&utcNow, &utc) || !SystemTimeToFileTime(&localNow, &local))
    {
        return false;
    }
    const LONG utcSeconds = static_cast<LONG>((Ticks(utc) - kUnixEpochTicks) / kTicksPerSecond);
    const LONGLONG offsetTicks = static_cast<LONGLONG>(Ticks(local) - Ticks(utcFileTimeNow));
    const LONGLONG offsetSeconds = RoundedDivide(RoundedDivide(offsetTicks, kTicksPerSecond), 60) * 60;
    value = static_cast<LONG>(utcSeconds + offsetSeconds);
    return true;
}

std::wstring FormatInstallationDate(LONG value)
{
    const ULONGLONG ticks = (static_cast<ULONG>(value) + kUnixEpochSeconds) * kTicksPerSecond;
    FILETIME fileTime{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME time{};
    if (!FileTimeToSystemTime(&fileTime, &time))
    {
        return std::wstring();
    }
    std::tm fields{};
    fields.tm_year = time.wYear - 1900;
    fields.tm_mon = time.wMonth - 1;
    fields.tm_mday = time.wDay;
    fields.tm_hour = time.wHour;
    fields.tm_min = time.wMinute;
    fields.tm_sec = time.wSecond;
    fields.tm_yday = 0;
    fields.tm_isdst = -1;
    wchar_t text[kDateChars] = {};
    const size_t length = wcsftime(text, kDateChars, L"%m/%d/%Y %H:%M:%S", &fields);
    return std::wstring(text, length);
}

std::wstring CurrentInstallationDate()
{
    SYSTEMTIME utcNow{};
    SYSTEMTIME localNow{};
    FILETIME utcFileTimeNow{};
    GetSystemTime(&utcNow);
    GetLocalTime(&localNow);
    GetSystemTimeAsFileTime(&utcFileTimeNow);
    LONG value = 0;
    return LocalTimeValue(utcNow, localNow, utcFileTimeNow, value) ? FormatInstallationDate(value)
                                                                   : std::wstring();
}
