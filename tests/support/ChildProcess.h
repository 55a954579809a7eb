#pragma once
#include <windows.h>
#include <functional>
#include <string>

// Starts a program (a command line), runs meanwhile while it runs, and waits for it; returns
// its exit code, or 0xFFFFFFFF when it could not be started or did not end within timeoutMs.
// Given inheritable handles, they become its standard output and error; flags as CreateProcessW's.
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                 const std::function<void()>& meanwhile = {}, HANDLE output = nullptr,
                 HANDLE errors = nullptr, DWORD flags = 0);
