#include "CConsoleOutput.h"
#include <algorithm>
#include <string>

CConsoleOutput::CConsoleOutput(DWORD standardHandle) : m_handle(GetStdHandle(standardHandle))
{
    DWORD mode = 0;
    m_console = GetConsoleMode(m_handle, &mode) != FALSE;
}

void CConsoleOutput::Write(const wchar_t* text, size_t length)
{
    if (length == 0 || m_handle == INVALID_HANDLE_VALUE || !m_handle)
    {
        return;
    }
    m_atLineStart = text[length - 1] == L'\n';
    // Bounded pieces: a console write has a size limit, and a conversion needs a buffer.
    constexpr size_t kPiece = 16384;
    for (size_t done = 0; done < length;)
    {
        size_t count = std::min(kPiece, length - done);
        // Never split a surrogate pair between two pieces.
        if (done + count < length && IS_HIGH_SURROGATE(text[done + count - 1]))
        {
            --count;
        }
        DWORD written = 0;
        if (m_console)
        {
            if (!WriteConsoleW(m_handle, text + done, static_cast<DWORD>(count), &written, nullptr))
            {
                return;
            }
        }
        else
        {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, text + done, static_cast<int>(count), nullptr,
                                                  0, nullptr, nullptr);
            std::string utf8(static_cast<size_t>(bytes), '\0');
            WideCharToMultiByte(CP_UTF8, 0, text + done, static_cast<int>(count), utf8.data(), bytes, nullptr,
                                nullptr);
            if (!WriteFile(m_handle, utf8.data(), static_cast<DWORD>(bytes), &written, nullptr))
            {
                m_closed = true; // a closed pipe: nobody reads any more
                return;
            }
        }
        done += count;
    }
}

CConsoleOutput& CConsoleOutput::operator<<(const std::wstring& text)
{
    Write(text);
    return *this;
}

CConsoleOutput& CConsoleOutput::operator<<(const wchar_t* text)
{
    Write(text, wcslen(text));
    return *this;
}

CConsoleOutput& CConsoleOutput::operator<<(unsigned long long number)
{
    return *this << std::to_wstring(number);
}

bool CConsoleOutput::IsClosed()
{
    DWORD written = 0;
    // Writing nothing into a pipe fails once its reader has closed it (232).
    if (!m_closed && !m_console && !WriteFile(m_handle, "", 0, &written, nullptr))
    {
        m_closed = GetLastError() == ERROR_NO_DATA;
    }
    return m_closed;
}
