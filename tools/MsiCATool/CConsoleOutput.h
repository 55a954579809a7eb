#pragma once
#include <windows.h>
#include <string>

// One standard stream of the tool. A console gets UTF-16 through WriteConsoleW, so that
// every character shows whatever the console's code page; a file or pipe gets UTF-8,
// which Wine's terminal, editors and ticket systems all read.
class CConsoleOutput
{
  public:
    explicit CConsoleOutput(DWORD standardHandle);
    CConsoleOutput(const CConsoleOutput&) = delete;
    CConsoleOutput& operator=(const CConsoleOutput&) = delete;

    void Write(const wchar_t* text, size_t length);
    void Write(const std::wstring& text) { Write(text.data(), text.size()); }
    CConsoleOutput& operator<<(const std::wstring& text);
    CConsoleOutput& operator<<(const wchar_t* text);
    CConsoleOutput& operator<<(unsigned long long number);
    // Whether the last character written was a line feed (or nothing was written).
    bool AtLineStart() const { return m_atLineStart; }
    // Whether whoever read the stream has gone: a pipe closed at its other end.
    bool IsClosed();

  private:
    HANDLE m_handle;
    bool m_console = false;
    bool m_atLineStart = true;
    bool m_closed = false;
};
