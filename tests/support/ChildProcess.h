#pragma once
#include <windows.h>
#include <string>

// Starts a program (a command line) and waits for it; returns its exit code, or
// 0xFFFFFFFF when it could not be started or did not end within timeoutMs.
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);
