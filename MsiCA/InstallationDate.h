#pragma once
#include <windows.h>
#include <string>

// The installation date that the final configuration records, as local time.

// Seconds since 1 January 1970 in local time, held in 32 bits: the UTC reading plus the
// local offset (local reading minus UTC file time) brought to the nearest whole minute, so
// that the few seconds between the readings do not show. False when a reading cannot be
// converted.
bool LocalTimeValue(const SYSTEMTIME& utcNow, const SYSTEMTIME& localNow, const FILETIME& utcFileTimeNow,
                    LONG& value);

// The value as "%m/%d/%Y %H:%M:%S"; empty when it cannot be converted. The 32 bits are
// read as unsigned, so that dates from 2038 to 2106 still come out right.
std::wstring FormatInstallationDate(LONG value);

// Both of the above for the current time.
std::wstring CurrentInstallationDate();
