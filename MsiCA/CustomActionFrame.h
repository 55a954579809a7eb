#pragma once
#include "util/Win32Errors.h"
#include <windows.h>
#include <msi.h>

// Tag of every line the custom-action layer writes.
#define MSICA_TAG L"\nMsiCA               : "

using ActionBody = UINT (*)(MSIHANDLE install);

// The frame every export shares: the entry line, then the action's steps. An exception
// that escapes the steps is traced and answered with resultOnFault, so that no fault in
// the library takes the installation down with it. With an installation handle the
// installer's progress bar and action text follow the action: subject is its first action
// data, its long work reports the rest.
// When the user cancels, the action finishes its current step and returns 1602
// (ERROR_INSTALL_USEREXIT), so that the installation stops and rolls back.
UINT RunCustomAction(const wchar_t* entryText, const wchar_t* subject, MSIHANDLE install, ActionBody body,
                     UINT resultOnFault = 0);
