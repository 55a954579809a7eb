#include "TestFiles.h"
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    return fs::path(std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH))).parent_path().wstring();
}

std::wstring BinPath(const std::wstring& name)
{
    return BinDir() + L"\\" + name;
}

CTestDir::CTestDir()
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "test";
    m_path = (fs::temp_directory_path() / (name + "." + std::to_string(GetCurrentProcessId()))).wstring();
    RemoveTree(m_path);
    EXPECT_TRUE(CreateDirectoryW(m_path.c_str(), nullptr)) << Narrow(m_path);
}

CTestDir::~CTestDir()
{
    RemoveTree(m_path);
}

std::vector<BYTE> ReadFileBytes(const std::wstring& path)
{
    std::ifstream in(fs::path(path), std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFileString(const std::wstring& path)
{
    const std::vector<BYTE> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes)
{
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    EXPECT_TRUE(out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size())) << Narrow(path);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    WriteFileBytes(path, std::vector<BYTE>(bytes.begin(), bytes.end()));
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ReadUtf16File(const std::wstring& path)
{
    const std::vector<BYTE> bytes = ReadFileBytes(path);
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE)
        return std::wstring();
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

void RemoveTree(const std::wstring& path)
{
    std::error_code error;
    for (fs::recursive_directory_iterator entry(path, error), end; !error && entry != end;
         entry.increment(error))
    {
        SetFileAttributesW(entry->path().c_str(), FILE_ATTRIBUTE_NORMAL); // read-only files too
    }
    fs::remove_all(path, error);
}

std::string Narrow(const std::wstring& text)
{
    return fs::path(text).u8string();
}

bool EndsWith(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TreeListing ListTree(const std::wstring& root)
{
    // std::filesystem reaches entries whose paths exceed MAX_PATH.
    TreeListing listing;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator entry(root, error), end; !error && entry != end;
         entry.increment(error))
    {
        listing[entry->path().wstring().substr(root.size())] =
            entry->is_directory() ? "<dir>" : ReadFileString(entry->path().wstring());
    }
    return listing;
}
