#pragma once
#include <windows.h>

// Saves one settings directory or file of a named component into the component's own
// folder of the temporary directory (T + component name), replacing an earlier backup
// there. The restore side reads it back from the same place.
class CComponentSettingsBackup
{
  public:
    // Copies the tree source into T + component + "\" + the source's last name component.
    // False when the temporary directory is unknown, the target cannot be created or the
    // copy failed.
    static bool BackupDirectory(const wchar_t* component, const wchar_t* source);
    // Copies the file into T + component + "\" + its name; false when it was not copied.
    static bool BackupFile(const wchar_t* component, const wchar_t* file);

    // The text after the last "\" or "/" that is not the first character; the whole path
    // when there is none.
    static const wchar_t* LastPathComponent(const wchar_t* path);
};
