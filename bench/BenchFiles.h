#pragma once
#include "BenchClock.h"
#include <windows.h>
#include <cstdio>
#include <string>
#include <vector>

// Child processes and tree checks shared by the benchmarks that copy folders.

// Runs a command line with its output discarded; the wall-clock seconds it took.
inline double RunQuietly(const std::wstring& commandLine)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    const double start = Seconds();
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
    {
        fwprintf(stderr, L"cannot run %ls\n", commandLine.c_str());
        CloseHandle(nul);
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    const double seconds = Seconds() - start;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(nul);
    return seconds;
}

// Files and bytes below root, to check that both copies are complete.
inline void CountTree(const std::wstring& root, ULONGLONG& files, ULONGLONG& bytes)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((root + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
    {
        return;
    }
    do
    {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
        {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            CountTree(root + L"\\" + name, files, bytes);
        }
        else
        {
            ++files;
            bytes += (ULONGLONG(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

inline bool SameCounts(const std::wstring& a, const std::wstring& b)
{
    ULONGLONG filesA = 0, bytesA = 0, filesB = 0, bytesB = 0;
    CountTree(a, filesA, bytesA);
    CountTree(b, filesB, bytesB);
    if (filesA != filesB || bytesA != bytesB)
    {
        wprintf(L"  INCOMPLETE copy %ls: %llu files, %llu bytes instead of %llu, %llu\n", b.c_str(), filesB,
                bytesB, filesA, bytesA);
        return false;
    }
    return true;
}
