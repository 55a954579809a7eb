#pragma once
#include "support/FaultInjection.h"
#include "support/TestRegistry.h"
#include <string>
#include <vector>

// The trace's registry configuration for one test: both keys, removed when the test ends.
struct TraceRegistry
{
    CTestKey global{L"SOFTWARE\\Debug"};
    CTestKey application{L"SOFTWARE\\Debug\\MsiCA"};
};

// Stands in for the process console and the debugger of the code under test: records what
// the trace sends to each, and how often it allocated a console.
struct CTraceSinks
{
    CTraceSinks();
    ~CTraceSinks();

    std::vector<std::wstring> console;  // one entry per WriteConsoleW
    std::vector<std::wstring> debugger; // one entry per OutputDebugStringW
    int consolesAllocated = 0;
    CFaultInjector injector;
};
