#pragma once
#include "CommandLine.h"

// "inspect": what the driver and extension-module actions would decide on this machine,
// and why, read with the library's own code; changes nothing.
void AddInspectCommand(CLI::App& tool, CToolStreams& streams);
// The report of "inspect", as text or JSON.
std::wstring InspectText(bool json, bool listStructures);
