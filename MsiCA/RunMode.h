#pragma once
#include <windows.h>
#include <msi.h>

constexpr int RUN_MODE_DEFAULT = 0;
constexpr int RUN_MODE_TELIX = 1;
constexpr int RUN_MODE_MORA = 5;

// The run mode from the installer property "RUNMODE", or from "CustomActionData" when
// RUNMODE is empty (a deferred action sees only the latter on Windows).
int GetRunMode(MSIHANDLE install);
