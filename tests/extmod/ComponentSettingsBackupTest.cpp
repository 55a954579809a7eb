#include "extmod/CComponentSettingsBackup.h"
#include "support/TestFiles.h"
#include <filesystem>
#include <gtest/gtest.h>

TEST(ComponentSettingsBackup, ASecondBackupReplacesTheFirstAndNeverReachesItsSource)
{
    CTestDir dir;
    const std::wstring component = L"EM_TEST" + std::to_wstring(GetCurrentProcessId());
    const std::wstring root = std::filesystem::temp_directory_path().wstring() + component,
                       file = dir / L"a\\b.ccs";
    CreateDirectoryW((dir / L"a").c_str(), nullptr);
    for (const char* content : {"first", "second"})
    {
        WriteFileBytes(file, std::string(content));
        EXPECT_TRUE(CComponentSettingsBackup::BackupFile(component.c_str(), file.c_str()) &&
                    CComponentSettingsBackup::BackupDirectory(component.c_str(), (dir / L"a").c_str()));
        EXPECT_TRUE(ListTree(dir / L"a") == ListTree(root + L"\\a")) << "the stale file is gone";
        WriteFileBytes(root + L"\\a\\stale.txt", std::string("old"));
    }
    // A read-only saved file never blocks the next refresh, and a source that is gone keeps
    // the last copy.
    for (const char* content : {"read-only 1", "read-only 2"})
    {
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteFileBytes(file, std::string(content));
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        EXPECT_TRUE(CComponentSettingsBackup::BackupFile(component.c_str(), file.c_str()));
    }
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(file.c_str());
    EXPECT_FALSE(CComponentSettingsBackup::BackupFile(component.c_str(), file.c_str()));
    EXPECT_FALSE(CComponentSettingsBackup::BackupDirectory(component.c_str(), (dir / L"gone").c_str()));
    EXPECT_EQ((TreeListing{{L"\\b.ccs", "second"}, {L"\\stale.txt", "old"}}), ListTree(root + L"\\a"));
    EXPECT_EQ("read-only 2", ListTree(root)[L"\\b.ccs"]);
    EXPECT_FALSE(FileExists(root + L"\\b.ccs.previous")) << "the read-only copy it replaced is gone";

    // With the component's own folder as the source the backup would lie inside it.
    const std::wstring inner = root + L"\\" + component;
    CreateDirectoryW(inner.c_str(), nullptr);
    WriteFileBytes(inner + L"\\keep.ini", std::string("keep"));
    EXPECT_FALSE(CComponentSettingsBackup::BackupDirectory(component.c_str(), root.c_str()));
    EXPECT_TRUE(FileExists(inner + L"\\keep.ini"));
    RemoveTree(root);
}
