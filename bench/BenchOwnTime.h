#pragma once
#include "support/FaultInjection.h"
#include "util/ProcAddress.h"
#include "BenchClock.h"
#include <windows.h>

// An action's own time: its wall time less the sleeps the library takes and less the time it
// spends inside the system's calls, both counted by pass-through fakes of its imports.
struct ActionTiming
{
    double wallMs = 0;
    double sleptMs = 0;      // as the sleeps took (a sleep overshoots by a little)
    DWORD sleepsAskedMs = 0; // as they asked
    double inSystemMs = 0;
    double WorkingMs() const { return wallMs - sleptMs; }
    double OwnMs() const { return WorkingMs() - inSystemMs; }
};

// What the fakes have counted for the action being timed.
inline ActionTiming g_counted;

// The library's Sleep, passed on to the real one.
inline void WINAPI CountingSleep(DWORD ms)
{
    g_counted.sleepsAskedMs += ms;
    const double start = Seconds();
    Sleep(ms);
    g_counted.sleptMs += (Seconds() - start) * 1000;
}

// Counts its lifetime as time inside the system.
class CInSystem
{
  public:
    CInSystem() = default;
    CInSystem(const CInSystem&) = delete;
    CInSystem& operator=(const CInSystem&) = delete;
    ~CInSystem() { g_counted.inSystemMs += (Seconds() - m_start) * 1000; }

  private:
    const double m_start = Seconds();
};

template <class Body>
ActionTiming TimeAction(Body&& body)
{
    g_counted = {};
    const double start = Seconds();
    body();
    ActionTiming timing = g_counted;
    timing.wallMs = (Seconds() - start) * 1000;
    return timing;
}

// Replaces the library's import of a function with a pass-through that counts the time
// inside the real one. The real function is looked up once, outside the counted time.
#define TIME_IMPORT(injector, dll, function)                                                                 \
    FAKE_IMPORT(injector, dll, function, [](auto... arguments) {                                             \
        static const auto real = ORIGINAL(function);                                                         \
        const CInSystem scope;                                                                               \
        return real(arguments...);                                                                           \
    })

// The same for a function the library finds with GetProcAddress in a DLL it loads itself:
// found again at each call, since the library may have unloaded the DLL in between.
#define TIME_LOOKUP(injector, dll, function)                                                                 \
    (injector).ReplaceLookup(#function, static_cast<decltype(&function)>([](auto... arguments) {             \
                                 const auto real = GetProcAddressAs<decltype(&function)>(                    \
                                     GetModuleHandleA(dll), #function);                                      \
                                 const CInSystem scope;                                                      \
                                 return real(arguments...);                                                  \
                             }))

// The service control manager's calls of a service start or stop.
inline void TimeServiceControl(CFaultInjector& injector)
{
    TIME_IMPORT(injector, "advapi32.dll", OpenSCManagerW);
    TIME_IMPORT(injector, "advapi32.dll", OpenServiceW);
    TIME_IMPORT(injector, "advapi32.dll", CloseServiceHandle);
    TIME_IMPORT(injector, "advapi32.dll", QueryServiceStatus);
    TIME_IMPORT(injector, "advapi32.dll", QueryServiceConfigW);
    TIME_IMPORT(injector, "advapi32.dll", StartServiceW);
    TIME_IMPORT(injector, "advapi32.dll", ControlService);
    TIME_IMPORT(injector, "advapi32.dll", EnumDependentServicesW);
}
