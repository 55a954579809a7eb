// The saved copies below a temporary directory that every user can write into, as the
// deferred actions meet it running as LocalSystem. Wine runs every process as one user and
// reports no owners but its own, so owners, access lists and links come from fakes.
#include "extmod/CSavedCopies.h"
#include "support/FaultInjection.h"
#include "support/PlantedSecurity.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/CDirectory.h"
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

namespace
{
const wchar_t kOtherOwner[] = L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)";
const wchar_t kUsersWrite[] = L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)";
const wchar_t kProtected[] = L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Entries named "link" are junctions: real folders here, so that what lies behind them shows.
void MarkLink(WIN32_FIND_DATAW* entry)
{
    if (wcscmp(entry->cFileName, L"link") == 0)
        entry->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
}

std::wstring g_createdAccess; // the access list of the last folder created with one

class SavedCopies : public testing::Test
{
  protected:
    SavedCopies()
    {
        CreateDir(data.c_str());
        WriteFileBytes(data + L"\\CommonConfig.ccs", std::string("customer"));
        CreateDir(temp.c_str());
    }
    CTestDir dir;
    const std::wstring data = dir / L"Data", temp = dir / L"Temp", copy = temp + L"\\Sentrel";
    CSavedCopies copies{temp + L"\\", L"Sentrel"};
    CFaultInjector injector;
};
} // namespace

TEST_F(SavedCopies, AFolderOthersCouldChangeIsNeitherWrittenNorRestoredFrom)
{
    injector.Replace("advapi32.dll", "GetNamedSecurityInfoW", &PlantedGetNamedSecurityInfoW);
    const struct
    {
        const wchar_t* access;
        const wchar_t* why; // nullptr: trusted
    } cases[] = {
        {kOtherOwner, L"it is owned by S-1-5-21-1-2-3-1001"},
        {kUsersWrite, L"S-1-5-32-545 may write into it"},
        {kProtected, nullptr},
    };
    CTraceCapture trace(1);
    for (const auto& row : cases)
    {
        RemoveTree(temp);
        CreateDir((copy + L"\\trap").c_str());
        WriteFileBytes(copy + L"\\trap\\SntSvc.cfg", std::string("planted"));
        PlantSecurity(L"\\Sentrel", row.access);
        copies.Save(data, [](const std::wstring&) {});
        EXPECT_EQ(ListTree(data), ListTree(copy)) << "the new copy holds the data and nothing else";
        if (row.why)
        {
            EXPECT_TRUE(
                trace.Contains(L"WARNING! \"" + copy + L"\" is not used: " + row.why + L". Moved aside"));
            EXPECT_EQ("planted", ListTree(copy + L".untrusted-1")[L"\\trap\\SntSvc.cfg"]);
        }
    }
    // Between backup and restore the copy's access list lets others write: nothing comes back.
    PlantSecurity(L"\\Sentrel", kUsersWrite);
    RemoveTree(data);
    copies.Restore(data);
    EXPECT_FALSE(FileExists(data));
    EXPECT_TRUE(trace.Contains(L"WARNING! \"" + copy + L"\" is not used: S-1-5-32-545 may write into it"));

    // A folder that cannot be moved aside stops the backup before anything is written into it.
    RemoveTree(copy);
    CreateDir(copy.c_str());
    FAKE_IMPORT(injector, "kernel32.dll", MoveFileExW, [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return !wcsstr(to, L".untrusted-") && ORIGINAL(MoveFileExW)(from, to, flags);
    });
    PlantSecurity(L"\\Sentrel", kOtherOwner);
    copies.Save(data, [](const std::wstring&) {});
    EXPECT_TRUE(trace.Contains(L"ERROR 0x5! \"" + copy + L"\" is not used: it is owned by"));
    EXPECT_TRUE(ListTree(copy).empty());
}

TEST_F(SavedCopies, NoLinkIsFollowedAndEveryFolderIsCreatedProtected)
{
    for (const std::wstring& behind : {data + L"\\link", copy + L"\\link"})
    {
        CreateDir(behind.c_str());
        WriteFileBytes(behind + L"\\victim.txt", std::string("behind the junction"));
    }
    FAKE_IMPORT(injector, "kernel32.dll", FindFirstFileW, [](LPCWSTR pattern, LPWIN32_FIND_DATAW entry) {
        const HANDLE find = ORIGINAL(FindFirstFileW)(pattern, entry);
        MarkLink(entry);
        return find;
    });
    FAKE_IMPORT(injector, "kernel32.dll", FindNextFileW, [](HANDLE find, LPWIN32_FIND_DATAW entry) {
        const BOOL found = ORIGINAL(FindNextFileW)(find, entry);
        MarkLink(entry);
        return found;
    });
    FAKE_IMPORT(injector, "kernel32.dll", GetFileAttributesW, [](LPCWSTR path) {
        return ORIGINAL(GetFileAttributesW)(path) |
               (EndsWith(path, L"\\link") ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
    });
    FAKE_IMPORT(injector, "kernel32.dll", CreateDirectoryW, [](auto path, auto attributes) {
        wchar_t* text = nullptr;
        if (attributes &&
            ConvertSecurityDescriptorToStringSecurityDescriptorW(
                attributes->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        {
            g_createdAccess = text;
            LocalFree(text);
        }
        return ORIGINAL(CreateDirectoryW)(path, attributes);
    });
    CTraceCapture trace(1);
    // The copy found there becomes the earlier copy; the restore of the new one discards it.
    copies.Save(data, [](const std::wstring&) {});
    EXPECT_EQ(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", g_createdAccess) << "the new copy's folder";
    EXPECT_EQ(TreeListing({{L"\\CommonConfig.ccs", "customer"}}), ListTree(copy));
    EXPECT_TRUE(
        trace.Contains(L"WARNING! \"" + data + L"\\link\" is a link: what it points to is not copied"));
    EXPECT_TRUE(copies.Restore(data));
    EXPECT_EQ("behind the junction", ListTree(data)[L"\\link\\victim.txt"]);
    EXPECT_EQ("behind the junction", ListTree(copy + L".previous")[L"\\link\\victim.txt"])
        << "removing the earlier copy removed its link alone";
}
