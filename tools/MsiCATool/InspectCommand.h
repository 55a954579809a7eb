#pragma once
#include "CArguments.h"
#include "CConsoleOutput.h"

// "inspect": what the driver and extension-module actions would decide on this machine,
// and why, read with the library's own code; changes nothing.
int RunInspectCommand(CArguments& arguments, CConsoleOutput& out, CConsoleOutput& err);
extern const wchar_t kInspectUsage[];
