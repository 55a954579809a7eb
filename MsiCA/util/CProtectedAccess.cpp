#include "util/CProtectedAccess.h"
#include "util/CUniqueHandle.h"
#include <aclapi.h>
#include <sddl.h>

namespace
{
// P: nothing inherited from the folder above; OICI: what is created inside gets the same.
const wchar_t kProtectedAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Any of these lets the holder change what the folder or file holds, or who may.
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

class CProtectedAttributes
{
  public:
    CProtectedAttributes()
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedAccess, SDDL_REVISION_1,
                                                                 &descriptor, nullptr))
        {
            m_descriptor.Reset(descriptor);
        }
        m_attributes.lpSecurityDescriptor = m_descriptor.Get();
    }
    // Without a descriptor nothing is created: an inherited access list is what this avoids.
    SECURITY_ATTRIBUTES* Get() { return m_descriptor ? &m_attributes : nullptr; }

  private:
    CLocalMemory m_descriptor;
    SECURITY_ATTRIBUTES m_attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// The user of the thread's token when it impersonates, else of the process's.
bool IsRunningAccount(PSID sid)
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    {
        return false;
    }
    const CKernelHandle held(token);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
}

bool IsTrustedAccount(PSID sid)
{
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsRunningAccount(sid);
}

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
    {
        return L"an unknown account";
    }
    const CLocalMemory held(text);
    return text;
}
} // namespace

bool CProtectedAccess::CreateFolder(const wchar_t* path)
{
    CProtectedAttributes attributes;
    if (!attributes.Get())
    {
        return false;
    }
    return CreateDirectoryW(path, attributes.Get()) != FALSE;
}

HANDLE CProtectedAccess::CreateNewFile(const wchar_t* path)
{
    CProtectedAttributes attributes;
    if (!attributes.Get())
    {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, GENERIC_WRITE, 0, attributes.Get(), CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

namespace
{
// The first allowed entry that grants any of rights to an account isSuspect names; the
// reason in why. Entries that only pass on to what is created inside do not count.
bool FindsWriter(PACL access, DWORD rights, bool (*isSuspect)(PSID), const wchar_t* verb, std::wstring& why)
{
    if (!access)
    {
        why = std::wstring(L"everyone ") + verb + L" it";
        return true;
    }
    for (DWORD index = 0; index < access->AceCount; ++index)
    {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (!GetAce(access, index, reinterpret_cast<void**>(&entry)) ||
            entry->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (entry->Header.AceFlags & INHERIT_ONLY_ACE))
        {
            continue;
        }
        const PSID sid = &entry->SidStart;
        if ((entry->Mask & rights) && isSuspect(sid))
        {
            why = SidText(sid) + L" " + verb + L" it";
            return true;
        }
    }
    return false;
}

bool IsUntrustedAccount(PSID sid)
{
    return !IsTrustedAccount(sid);
}

// The groups every signed-in user belongs to.
bool IsOrdinaryUsers(PSID sid)
{
    return IsWellKnownSid(sid, WinBuiltinUsersSid) || IsWellKnownSid(sid, WinAuthenticatedUserSid) ||
           IsWellKnownSid(sid, WinWorldSid) || IsWellKnownSid(sid, WinInteractiveSid);
}

// Whether path's owner and access list pass: a trusted owner, and no entry that grants
// rights to an account isSuspect names. why tells the reason when not.
bool PassesAccessCheck(const wchar_t* path, DWORD rights, bool (*isSuspect)(PSID), const wchar_t* verb,
                       std::wstring& why)
{
    PSID owner = nullptr;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error =
        GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &access, nullptr, &descriptor);
    const CLocalMemory held(descriptor);
    if (error != ERROR_SUCCESS)
    {
        why = L"its owner and access list cannot be read (error " + std::to_wstring(error) + L")";
        return false;
    }
    if (!owner || !IsTrustedAccount(owner))
    {
        why = L"it is owned by " + (owner ? SidText(owner) : std::wstring(L"no one"));
        return false;
    }
    return !FindsWriter(access, rights, isSuspect, verb, why);
}
} // namespace

bool CProtectedAccess::IsTrusted(const wchar_t* path, std::wstring& why)
{
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    {
        why = L"it is a link";
        return false;
    }
    return PassesAccessCheck(path, kWriteRights, IsUntrustedAccount, L"may write into", why);
}

bool CProtectedAccess::IsClosedToUsers(const wchar_t* folder, std::wstring& why)
{
    // Rights that create a file, or let the holder grant themselves that.
    constexpr DWORD kCreateFileRights =
        FILE_ADD_FILE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
    return PassesAccessCheck(folder, kCreateFileRights, IsOrdinaryUsers, L"may create files in", why);
}
