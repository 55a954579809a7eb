#pragma once
#include "CArguments.h"
#include "CConsoleOutput.h"

// "trace on|off|show": the trace's registry configuration.
int RunTraceCommand(CArguments& arguments, CConsoleOutput& out, CConsoleOutput& err);
extern const wchar_t kTraceUsage[];
