#pragma once
#include "util/IProgressObserver.h"

// Where long work reports its progress: to the observer of the running action, or nowhere.
// Without an observer every call does nothing, so that the work behaves the same.
class CProgressReport
{
  public:
    // Makes observer the one that hears the reports while the scope lives.
    class Scope
    {
      public:
        explicit Scope(IProgressObserver* observer);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        IProgressObserver* m_outer;
    };

    static bool IsObserved() { return s_observer != nullptr; }
    static void Begin(const wchar_t* what, DWORD total);
    static void Advance(DWORD done, const wchar_t* item);
    static bool StopRequested();

  private:
    // The library starts no threads: one action at a time reports.
    static IProgressObserver* s_observer;
};
