#pragma once
#include <windows.h>
#include <string>
#include <vector>

#define EXTMOD_CONF_TAG L"\nCExtensionModuleConf: "

// Module names in the order Module.ini lists them; each is the base name of a module DLL
// in the bin path and the name of that module's own section.
using ModuleList = std::vector<std::wstring>;

// Reads Module.ini (never writes it): which extension modules take part in a setup action
// for a run mode on this operating system. The file is read afresh at every call.
class CExtensionModuleConf
{
  public:
    CExtensionModuleConf() = default;
    ~CExtensionModuleConf();
    CExtensionModuleConf(const CExtensionModuleConf&) = delete;
    CExtensionModuleConf& operator=(const CExtensionModuleConf&) = delete;

    // Keeps the path (".\" in front when it has no separator; an empty or null argument
    // keeps the previous one) and is valid exactly when that path names a file.
    bool Open(const wchar_t* path);
    // Appends the modules enabled for the run mode (0: the file's General/RunMode) whose
    // install flag is set. Always true.
    bool BuildModuleList(ModuleList& list, int runMode) const;
    // The name of a run mode given as decimal text (section Modes), or empty.
    std::wstring ReadModeName(const wchar_t* runModeText) const;
    // The key names of a section in file order.
    std::vector<std::wstring> ReadSectionKeys(const wchar_t* section) const;

    bool IsValid() const { return m_valid && !m_path.empty(); }
    const std::wstring& Path() const { return m_path; }

    // Opens the file and appends its modules for the run mode; false, after the line that
    // says the file could not be opened, when it cannot.
    static bool ReadModuleList(const std::wstring& path, int runMode, ModuleList& list);

  private:
    static void TraceOpenError(const wchar_t* path);
    int ReadInt(const wchar_t* section, const wchar_t* key, int defaultValue) const;
    std::wstring ReadText(const wchar_t* section, const wchar_t* key) const;

    std::wstring m_path;
    bool m_valid = false;
};
