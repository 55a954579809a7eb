#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

// Folder of the running test program; the DLLs, the sample package and the helper
// programs are built beside it.
std::wstring BinDir();
std::wstring BinPath(const std::wstring& name);

// A fresh, empty folder for one test below the temporary directory, removed with its
// contents when the test ends.
class CTestDir
{
  public:
    CTestDir();
    ~CTestDir();
    CTestDir(const CTestDir&) = delete;
    CTestDir& operator=(const CTestDir&) = delete;

    const std::wstring& Path() const { return m_path; }
    // Path + "\" + relative.
    std::wstring operator/(const std::wstring& relative) const { return m_path + L"\\" + relative; }

  private:
    std::wstring m_path;
};

std::vector<BYTE> ReadFileBytes(const std::wstring& path);
std::string ReadFileString(const std::wstring& path); // the same bytes
void WriteFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
// UTF-16LE text of a file that begins with FF FE (mark removed); empty for anything else.
std::wstring ReadUtf16File(const std::wstring& path);
// Removes a tree, read-only files included (test clean-up, independent of the library).
void RemoveTree(const std::wstring& path);
std::string Narrow(const std::wstring& text);
bool EndsWith(const std::wstring& text, const std::wstring& end);
// Relative path ("\\a\\b") -> content ("<dir>" for a directory) of everything below root.
using TreeListing = std::map<std::wstring, std::string>;
TreeListing ListTree(const std::wstring& root);
