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
    // With the component's own folder as the source the backup would lie inside it.
    const std::wstring inner = root + L"\\" + component;
    CreateDirectoryW(inner.c_str(), nullptr);
    WriteFileBytes(inner + L"\\keep.ini", std::string("keep"));
    EXPECT_FALSE(CComponentSettingsBackup::BackupDirectory(component.c_str(), root.c_str()));
    EXPECT_TRUE(FileExists(inner + L"\\keep.ini"));
    RemoveTree(root);
}
