#pragma once
#include "FaultInjection.h"
#include "TestRegistry.h"
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The trace's registry configuration for one test: both keys, removed when the test ends.
struct TraceRegistry
{
    CTestKey global{L"SOFTWARE\\Debug"};
    CTestKey application{L"SOFTWARE\\Debug\\MsiCA"};
};

// Everything (level 6) into one trace file; limit as the registry stores it.
struct FileTraceRegistry : TraceRegistry
{
    explicit FileTraceRegistry(const std::wstring& path, DWORD limit = 0, DWORD mapped = 0)
    {
        application.SetDword(L"FileDebugLevel", 6)
            .SetString(L"TraceFile", path)
            .SetDword(L"TraceFileMemoryMapped", mapped)
            .SetDword(L"TraceFileLimit", limit);
    }
};

// Stands in for the process console and the debugger of the code under test and records
// what the trace sends to each. Given a level, it also turns the library's trace on with
// the debugger as its only sink, and restores the trace's registry and configuration when
// it ends; at level 0 the test configures the trace itself.
class CTraceCapture
{
  public:
    explicit CTraceCapture(DWORD level = 6);
    ~CTraceCapture();

    // Every message as the debugger received it, joined.
    std::wstring Text() const;
    bool Contains(const std::wstring& text) const { return Text().find(text) != std::wstring::npos; }
    // How many messages contain text.
    size_t Count(const std::wstring& text) const;
    // Whether messages containing each text appear in this order.
    bool InOrder(const std::vector<std::wstring>& texts) const;
    // The first of texts that a message contains; empty when none is there.
    std::wstring FirstFound(const std::vector<std::wstring>& texts) const
    {
        const auto found =
            std::find_if(texts.begin(), texts.end(), [this](auto& text) { return Count(text); });
        return found == texts.end() ? L"" : *found;
    }
    void Clear() { debugger.clear(); }

    std::vector<std::wstring> console;  // one entry per WriteConsoleW
    std::vector<std::wstring> debugger; // one entry per OutputDebugStringW
    int consolesAllocated = 0;

  private:
    std::optional<TraceRegistry> m_registry;
    std::vector<std::unique_ptr<CImportPatch>> m_patches;
};
