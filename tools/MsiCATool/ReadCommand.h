#pragma once
#include "CArguments.h"
#include "CConsoleOutput.h"

// "read FILE": a trace file as text (ordinary or ring), optionally filtered and followed.
int RunReadCommand(CArguments& arguments, CConsoleOutput& out, CConsoleOutput& err);
extern const wchar_t kReadUsage[];
