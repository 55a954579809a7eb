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
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    // Every message as the debugger received it, joined.
    std::wstring Text() const;
    // The messages without their closing line feed, in order.
    const std::vector<std::wstring>& Lines() const;
    bool Contains(const std::wstring& text) const;
    // How many messages contain text.
    size_t Count(const std::wstring& text) const;
    // Whether the messages containing each text appear in this order.
    bool InOrder(const std::vector<std::wstring>& texts) const;
    void Clear();

  private:
    static void WINAPI FakeOutputDebugStringW(LPCWSTR text);

    CTestKey m_global;
    CTestKey m_application;
    CImportPatch m_patch;
};
