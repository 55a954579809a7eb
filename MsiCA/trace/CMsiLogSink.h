#pragma once
#include <windows.h>
#include <msi.h>

// Sends trace lines into the installer's own log (msiexec /l*v) as informational messages,
// through the handle of the custom action that is running. The frame hands the handle in
// for the time of one action; outside an action (DllMain) nothing is sent.
class CMsiLogSink
{
  public:
    DWORD Level() const { return m_level; }
    void SetLevel(DWORD level) { m_level = level; }
    void SetInstallHandle(MSIHANDLE install) { m_install = install; }
    MSIHANDLE InstallHandle() const { return m_install; }

    // True when a line of this level would reach the installer's log.
    bool Accepts(unsigned level) const { return m_install != 0 && m_level >= level; }
    // One message per non-empty line of the text.
    void Write(const wchar_t* text) const;

  private:
    void WriteLine(const wchar_t* line) const;

    DWORD m_level = 0;
    MSIHANDLE m_install = 0;
};
