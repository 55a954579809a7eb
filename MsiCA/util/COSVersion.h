#pragma once
#include <windows.h>

// The Windows version record, with the real version numbers: GetVersionExW stops at 6.2
// for a process that does not declare newer systems, so from 6.2 on the numbers are taken
// from kernel32.dll's file version.
class COSVersion : public OSVERSIONINFOEXW
{
  public:
    COSVersion();
    // Fills the record; false only when GetVersionExW fails.
    bool Retrieve();
};
