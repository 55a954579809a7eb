#pragma once
#include <windows.h>
#include <memory>
#include <vector>

// The module whose imports the tests replace: the library's code as msica_testable.dll.
HMODULE TestedModule();

// Replaces one entry of a module's import address table with a fake while it lives, so
// that only the code under test sees the fake: the test's own calls reach Windows.
class CImportPatch
{
  public:
    CImportPatch(HMODULE module, const char* dll, const char* function, void* fake);
    ~CImportPatch();
    CImportPatch(const CImportPatch&) = delete;
    CImportPatch& operator=(const CImportPatch&) = delete;

    bool Applied() const { return m_slot != nullptr; }
    void* Original() const { return m_original; }

  private:
    void** m_slot = nullptr;
    void* m_original = nullptr;
};

// A set of fakes for the code under test. A fake also answers the module's GetProcAddress
// lookups of the same name, since the library finds some functions (GetTickCount64,
// GetSystemFirmwareTable, ...) at run time. Fails the running test when the module does
// not import a function it must replace. One at a time.
class CFaultInjector
{
  public:
    explicit CFaultInjector(HMODULE module = TestedModule());
    ~CFaultInjector();
    CFaultInjector(const CFaultInjector&) = delete;
    CFaultInjector& operator=(const CFaultInjector&) = delete;

    // Returns the real function (for fakes that pass calls on).
    template <class Function>
    Function* Replace(const char* dll, const char* function, Function* fake, bool mustBeImported = true)
    {
        return reinterpret_cast<Function*>(
            Patch(dll, function, reinterpret_cast<void*>(fake), mustBeImported));
    }
    // Answers GetProcAddress(…, name) with fake without patching an import.
    template <class Function>
    void ReplaceLookup(const char* name, Function* fake)
    {
        Patch(nullptr, name, reinterpret_cast<void*>(fake), false);
    }
    // The real function behind a replaced import.
    static void* Original(const char* function);

  private:
    void* Patch(const char* dll, const char* function, void* fake, bool mustBeImported);

    HMODULE m_module;
    std::vector<std::unique_ptr<CImportPatch>> m_patches;
};

// Replaces the tested module's import of a function with a fake of the function's own type
// (a lambda without captures may leave the parameters it ignores to auto...); the real
// function behind such a replacement.
#define FAKE_IMPORT(injector, dll, function, ...)                                                            \
    (injector).Replace(dll, #function, static_cast<decltype(&function)>(__VA_ARGS__))
#define ORIGINAL(function) reinterpret_cast<decltype(&function)>(CFaultInjector::Original(#function))

// Sleep, GetTickCount and GetTickCount64 of the code under test on a virtual clock: a
// sleep costs nothing, advances the clock and is recorded.
class CVirtualClock
{
  public:
    explicit CVirtualClock(CFaultInjector& injector, ULONGLONG startMs = 10'000'000);
    ~CVirtualClock();

    const std::vector<DWORD>& Sleeps() const { return m_sleeps; }
    void Advance(ULONGLONG ms) { m_now += ms; }
    void Set(ULONGLONG ms) { m_now = ms; }
    // Called with every sleep before it is counted (for fakes that change state meanwhile).
    void OnSleep(void (*callback)(DWORD ms)) { m_onSleep = callback; }

  private:
    ULONGLONG m_now;
    std::vector<DWORD> m_sleeps;
    void (*m_onSleep)(DWORD) = nullptr;
};
