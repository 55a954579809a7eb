#include "RunMode.h"
#include "CustomActionFrame.h"
#include "trace/CTrace.h"
#include <msiquery.h>
#include <strsafe.h>

namespace
{
// Whole-word comparison with ASCII letters folded; no trimming.
bool EqualsIgnoringAsciiCase(const wchar_t* text, const wchar_t* word)
{
    auto fold = [](wchar_t c) {
        return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    };
    for (; *text && *word; ++text, ++word)
    {
        if (fold(*text) != fold(*word))
        {
            return false;
        }
    }
    return *text == *word;
}

int RunModeOf(const wchar_t* value)
{
    if (EqualsIgnoringAsciiCase(value, L"MORA"))
    {
        return RUN_MODE_MORA;
    }
    if (EqualsIgnoringAsciiCase(value, L"TELIX"))
    {
        return RUN_MODE_TELIX;
    }
    return RUN_MODE_DEFAULT;
}

bool ReadProperty(MSIHANDLE install, const wchar_t* name, wchar_t (&value)[MAX_PATH])
{
    DWORD length = MAX_PATH;
    return MsiGetPropertyW(install, name, value, &length) == ERROR_SUCCESS;
}
} // namespace

int GetRunMode(MSIHANDLE install)
{
    int runMode = RUN_MODE_DEFAULT;
    wchar_t value[MAX_PATH] = L"";
    if (!ReadProperty(install, L"RUNMODE", value))
    {
        TRACE(1, MSICA_TAG L"WARNING! MSI Property \"RUNMODE\" NOT set!");
    }
    else
    {
        if (value[0] == L'\0')
        {
            TRACE(2,
                  MSICA_TAG L"Empty property \"RUNMODE\" found! Check for MSI Property \"CustomActionData\"");
            wchar_t data[MAX_PATH] = L"";
            if (ReadProperty(install, L"CustomActionData", data))
            {
                TRACE(2, MSICA_TAG L"Found CustomActionData: \"%s\"", data);
                StringCchCopyW(value, MAX_PATH, data);
            }
        }
        TRACE(2, MSICA_TAG L"MSI Property \"RUNMODE\"=\"%s\"", value);
        runMode = RunModeOf(value);
    }
    TRACE(2, MSICA_TAG L"Run mode set to %d", runMode);
    return runMode;
}
