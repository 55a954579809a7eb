#include "support/PlantedSecurity.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include <sddl.h>

namespace
{
std::wstring g_plantedSuffix, g_plantedAccess;
} // namespace

void PlantSecurity(const std::wstring& suffix, const std::wstring& sddl)
{
    g_plantedSuffix = suffix;
    g_plantedAccess = sddl;
}

DWORD WINAPI PlantedGetNamedSecurityInfoW(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                          PSID* owner, PSID* group, PACL* access, PACL* audit,
                                          PSECURITY_DESCRIPTOR* descriptor)
{
    if (g_plantedSuffix.empty() || !EndsWith(path, g_plantedSuffix))
        return ORIGINAL(GetNamedSecurityInfoW)(path, type, what, owner, group, access, audit, descriptor);
    g_plantedSuffix.clear();
    ConvertStringSecurityDescriptorToSecurityDescriptorW(g_plantedAccess.c_str(), SDDL_REVISION_1, descriptor,
                                                         nullptr);
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    GetSecurityDescriptorDacl(*descriptor, &present, access, &defaulted);
    return ERROR_SUCCESS;
}
