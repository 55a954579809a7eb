#pragma once
#include <windows.h>
#include <string>

// Renders bytes for the trace, 16 to a line: hex, then the bytes as characters (anything
// outside 0x20-0x7E as U+00FA). Offsets "%04X: " head the lines when asked for and the
// range is longer than one line. A null range gives "(null)".
std::wstring HexDump(const BYTE* bytes, size_t size, bool withOffsets);
