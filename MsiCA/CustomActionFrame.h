#pragma once
#include "util/Win32Errors.h"
#include <windows.h>
#include <msi.h>

// Tag of every line the custom-action layer writes.
#define MSICA_TAG L"\nMsiCA               : "

using ActionBody = UINT (*)(MSIHANDLE install);

// The frame every export shares: the entry line, then the action's steps. An exception
// that escapes the steps is traced and answered with resultOnFault, so that no fault in
// the library takes the installation down with it.
UINT RunCustomAction(const wchar_t* entryText, MSIHANDLE install, ActionBody body, UINT resultOnFault = 0);
