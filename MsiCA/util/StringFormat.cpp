#include "util/StringFormat.h"
#include <cwchar>

// strsafe.h poisons _vsnwprintf, which this file calls directly; it is not included here.

int FormattedLength(const wchar_t* format, va_list args)
{
    if (!format)
    {
        return -1;
    }
    va_list copy;
    va_copy(copy, args);
    const int length = _vscwprintf(format, copy);
    va_end(copy);
    return length;
}

void VFormatString(std::wstring& out, const wchar_t* format, va_list args)
{
    const int length = FormattedLength(format, args);
    if (length <= 0)
    {
        out.clear();
        return;
    }
    out.resize(static_cast<size_t>(length));
    va_list copy;
    va_copy(copy, args);
    // The string's own terminator slot takes the CRT's terminator.
    _vsnwprintf(&out[0], out.size() + 1, format, copy);
    va_end(copy);
}

void FormatString(std::wstring& out, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    VFormatString(out, format, args);
    va_end(args);
}

int FormatBuffer(wchar_t* buffer, size_t count, const wchar_t* format, ...)
{
    if (!buffer || count == 0 || !format)
    {
        return -1;
    }
    va_list args;
    va_start(args, format);
    const int written = _vsnwprintf(buffer, count - 1, format, args);
    va_end(args);
    buffer[count - 1] = L'\0';
    if (written < 0)
    {
        return -1;
    }
    buffer[written] = L'\0';
    return written;
}
