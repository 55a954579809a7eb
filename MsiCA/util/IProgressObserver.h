#pragma once
#include <windows.h>

// Watches long work: copies, device loops, module calls, service waits. The work reports
// through CProgressReport and knows nothing of who listens.
class IProgressObserver
{
  public:
    virtual ~IProgressObserver() = default;
    // Work of total steps begins (files, devices, modules; for a wait, seconds of its limit).
    virtual void Begin(const wchar_t* what, DWORD total) = 0;
    // done steps of that work are complete, the last of them named item.
    virtual void Advance(DWORD done, const wchar_t* item) = 0;
    // True once the watcher asked the work to stop: it finishes its current step and stops.
    virtual bool StopRequested() const = 0;
};
