#pragma once
#include <windows.h>
#include <cstdarg>
#include <string>

// Formatting with the Windows CRT's rules: in a wide format "%s" is a wide string and
// "%hs" a narrow one (mingw's own C99 swprintf reads "%s" as narrow). Bounded formatting
// into fixed buffers uses strsafe's StringCchPrintfW / StringCchVPrintfW, which follow
// the same rules.

// Number of characters the formatted text needs, without the terminator; -1 when the
// format cannot be applied.
int FormattedLength(const wchar_t* format, va_list args);

// Formats into out, sized to the whole text: never truncates.
void FormatString(std::wstring& out, const wchar_t* format, ...);
void VFormatString(std::wstring& out, const wchar_t* format, va_list args);

// swprintf-style call into a fixed buffer of count characters: the number of characters
// written, or -1 when the text does not fit or the format fails (the buffer then holds
// the terminated text as far as it fits).
int FormatBuffer(wchar_t* buffer, size_t count, const wchar_t* format, ...);
