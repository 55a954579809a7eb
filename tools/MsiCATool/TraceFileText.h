#pragma once
#include <windows.h>
#include <string>

// Reading trace files as the library writes them: an ordinary file is UTF-16LE after the
// mark FF FE, or text in the ANSI code page without a mark; a ring file is UTF-16LE.
enum class TraceEncoding
{
    Unknown, // fewer than two bytes so far (an empty file gets its mark with its first line)
    Wide,
    Ansi
};

// What identifies a file across polls: a rotated trace file is a new file at the old name.
struct TraceFileState
{
    ULONGLONG size = 0;
    ULONGLONG id = 0;
};

// The file's bytes from offset to its end, read while writers keep it open, rename or
// map it. 0 or the Win32 error.
DWORD ReadFileFrom(const std::wstring& path, ULONGLONG offset, std::string& bytes, TraceFileState& state);

// The encoding a file's first bytes declare; a file of one byte counts as ANSI.
TraceEncoding EncodingOf(const std::string& head);

// UTF-16LE bytes as text; an odd last byte is left out.
std::wstring DecodeWide(const char* bytes, size_t size);
// ANSI bytes as text.
std::wstring DecodeAnsi(const char* bytes, size_t size);
