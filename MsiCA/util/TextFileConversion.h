#pragma once
#include <windows.h>

// The UTF-16 check and conversion of a configuration file, and the delete and copy that
// the actions use around it.

// Whether the file begins with the UTF-16 little-endian mark FF FE.
bool HasUtf16Bom(const wchar_t* path);
// Rewrites an ANSI text file as UTF-16LE with the mark: each byte becomes the code unit of
// the same value, CR LF becomes LF. The text is streamed into a new file beside the given
// one, which then replaces it in one step; the given file changes only then, and the new
// file is removed on every other path. False for a file that already has the mark (left
// alone) and for any failure.
bool ConvertToUtf16(const wchar_t* path);
// DeleteFileW; with clearReadOnly a read-only file is deleted all the same.
bool RemoveFile(const wchar_t* path, bool clearReadOnly);
// CopyFileW that never overwrites an existing target.
bool CopyFileNoOverwrite(const wchar_t* source, const wchar_t* target);
