#pragma once
#include <windows.h>
#include <string>
#include <vector>

// The version resource of one file, read whole, and the strings and numbers in it.
// A file missing from the system directory is looked for once more in the WOW64 system
// directory, since a 32-bit installation may have put it there.
class CFileVersionInfo
{
  public:
    CFileVersionInfo() = default;
    // The resource of a loaded module's file (empty when it has none).
    explicit CFileVersionInfo(HMODULE module);

    // Reads the resource of the file at path: GetVersionInfoSize, then ReadVersionInfo into a
    // buffer of that size, whose bytes become the data. False leaves the data empty.
    bool Load(const wchar_t* path);

    // Size of the file's version resource; 0 on failure (traced), GetLastError tells why.
    static DWORD GetVersionInfoSize(const wchar_t* path);
    static bool ReadVersionInfo(const wchar_t* path, void* buffer, DWORD size);

    // Finds the translation entry of langId (0: the first entry) and returns its language
    // and code page through the arguments.
    bool ContainsLangId(WORD& langId, WORD& codePage) const;
    // The "ProductVersion" string of the first translation, non-printable characters as "?".
    bool QueryProductVersion(std::wstring& out) const;
    // The root block of the resource; false when there is none.
    bool QueryFixedFileInfo(VS_FIXEDFILEINFO& out) const;
    // Replaces every non-printable or control character by "?"; true when nothing was replaced.
    static bool MakePrintable(std::wstring& text);

    const std::vector<BYTE>& Data() const { return m_data; }
    const std::wstring& Path() const { return m_path; }

  private:
    bool QueryValue(const wchar_t* subBlock, void*& value, UINT& length) const;

    std::vector<BYTE> m_data;
    std::wstring m_path;
};
