#pragma once
#include "FaultInjection.h"
#include "TestRegistry.h"
#include <string>
#include <vector>

// Turns the library's trace on at a level, with the debugger as its only sink, and
// collects what the code under test sends there. Restores the trace's registry and
// configuration when it ends.
class CTraceCapture
{
  public:
    explicit CTraceCapture(DWORD level = 6);
    ~CTraceCapture();

    // Every message as the debugger received it, joined.
    const std::wstring& Text() const;
    bool Contains(const std::wstring& text) const { return Text().find(text) != std::wstring::npos; }
    // How many messages contain text.
    size_t Count(const std::wstring& text) const;
    // Whether messages containing each text appear in this order.
    bool InOrder(const std::vector<std::wstring>& texts) const;
    void Clear();

  private:
    CTestKey m_global{L"SOFTWARE\\Debug"};
    CTestKey m_application{L"SOFTWARE\\Debug\\MsiCA"};
    CImportPatch m_patch;
};
