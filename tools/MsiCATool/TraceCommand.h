#pragma once
#include "CommandLine.h"

// "trace on|off|show": the trace's registry configuration.
void AddTraceCommand(CLI::App& tool, CToolStreams& streams);
// What is configured now, as the trace reads it, and the registry values ("trace show").
std::wstring TraceSettingsText();
