#pragma once
#include "CConsoleOutput.h"
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

// The tool's command line, parsed by CLI11. CLI11 reads no wide characters: words go in and
// values come out as UTF-8. Commands, options and the values that name a choice are taken in
// any case, as Windows' own tools take them.

enum ExitCode
{
    kExitDone = 0,
    kExitFailed = 1,     // the work could not be done: a file, key or folder could not be used
    kExitBadCommand = 2, // the command line is wrong
};

// Where a command writes, and what the tool returns.
struct CToolStreams
{
    CConsoleOutput& out;
    CConsoleOutput& err;
    int exitCode = kExitDone;
};

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);
// UTF-8 text with "\n" line ends as the tool prints it, with "\r\n".
std::wstring WideLines(const std::string& text);
std::wstring Lower(const std::string& text);

// A value the command cannot take, named in one line: the tool ends with kExitBadCommand.
[[noreturn]] void RejectValue(const std::wstring& message);

// A number of at most 12 digits.
bool ParseNumber(const std::wstring& text, unsigned long long& value);

// Parses the words and runs the command they name; the tool's exit code.
int RunCommandLine(const std::vector<std::wstring>& words, CToolStreams& streams);
