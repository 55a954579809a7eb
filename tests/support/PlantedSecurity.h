#pragma once
#include <windows.h>
#include <aclapi.h>
#include <string>

// Owners and access lists that Wine cannot give (it derives them from Unix mode bits, with
// its own user as every owner), for the code under test's GetNamedSecurityInfoW.

// The next look at a path ending in suffix reports the owner and access list of sddl, once.
void PlantSecurity(const std::wstring& suffix, const std::wstring& sddl);

// Replaces GetNamedSecurityInfoW of the code under test (CFaultInjector::Replace); every path
// not planted is answered by Windows.
DWORD WINAPI PlantedGetNamedSecurityInfoW(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                          PSID* owner, PSID* group, PACL* access, PACL* audit,
                                          PSECURITY_DESCRIPTOR* descriptor);
