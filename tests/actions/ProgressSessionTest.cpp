#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include <gtest/gtest.h>
#include <msi.h>
#include <map>
#include <sstream>

// What a setup program with its own window sees of MsiCA: the sample package installed
// through MsiInstallProductW with an external UI handler (ui_host), its data actions carrying
// a data folder of 2,000 files out and back.

namespace
{
constexpr int kFiles = 2000;
constexpr int kTicksPerAction = 100000;

struct Message
{
    unsigned long long ms;
    unsigned type; // INSTALLMESSAGE_... >> 24
    std::wstring text;
};

std::vector<Message> ReadMessages(const std::wstring& path)
{
    std::wstringstream text(ReadUtf16File(path));
    std::vector<Message> messages;
    for (std::wstring line; std::getline(text, line);)
    {
        Message message{};
        std::wstringstream fields(line);
        fields >> message.ms >> message.type;
        fields.ignore(1);
        std::getline(fields, message.text);
        message.text.erase(message.text.find_last_not_of(L'\r') + 1);
        messages.push_back(message);
    }
    return messages;
}

// Field n of a progress message ("1: 2 2: 5875 "); -1 when absent.
long long Field(const std::wstring& text, int n)
{
    const std::wstring name = std::to_wstring(n) + L": ";
    const size_t at = text.rfind(name, 0) == 0 ? 0 : text.find(L" " + name);
    return at == std::wstring::npos ? -1 : std::stoll(text.substr(at + name.size() + (at ? 1 : 0)));
}

// What each MsiCA action sent, by the name its ActionStart message gives.
struct ActionMessages
{
    std::wstring start;           // the ActionStart text
    std::vector<Message> data;    // action data
    std::vector<long long> moves; // progress increments
};

std::map<std::wstring, ActionMessages> ByAction(const std::vector<Message>& messages, long long& reserved)
{
    std::map<std::wstring, ActionMessages> actions;
    ActionMessages* current = nullptr;
    for (const Message& message : messages)
    {
        const size_t name = message.text.find(L": ") + 2;
        if (message.type == INSTALLMESSAGE_ACTIONSTART >> 24)
        {
            const std::wstring action = message.text.substr(name, message.text.find(L'.', name) - name);
            current = action.find(L"CA_") != std::wstring::npos ? &actions[action] : nullptr;
            if (current)
                current->start = message.text.substr(name);
        }
        else if (current && message.type == INSTALLMESSAGE_ACTIONDATA >> 24)
            current->data.push_back(message);
        else if (current && message.type == INSTALLMESSAGE_PROGRESS >> 24 && Field(message.text, 1) == 2)
            current->moves.push_back(Field(message.text, 2));
        else if (current && message.type == INSTALLMESSAGE_PROGRESS >> 24 && Field(message.text, 1) == 3)
            reserved += Field(message.text, 2);
    }
    return actions;
}
} // namespace

TEST(ProgressSession, TheDataActionsShowTheirFilesAFewTimesASecondAndTheBarStaysWithinItsTicks)
{
    CTestDir dir;
    const std::wstring data = dir / L"Data", temp = dir / L"Temp";
    // A first install carries data over where the KVQ agent is named.
    CTestKey uuid{L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25"};
    uuid.SetString(L"KVQAgent", L"SOFTWARE\\Arvetta\\KVQ");
    CTestKey vendor{L"SOFTWARE\\Arvetta"}, dataKey{L"SOFTWARE\\Arvetta\\Management\\Sentrel\\DATA"};
    dataKey.SetString(L"DataRoot", data);
    CreateDirectoryW(temp.c_str(), nullptr);
    CreateDirectoryW(data.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    for (int folder = 0; folder < 20; ++folder)
    {
        const std::wstring path = data + L"\\f" + std::to_wstring(folder);
        CreateDirectoryW(path.c_str(), nullptr);
        for (int file = 0; file < kFiles / 20; ++file)
            WriteFileBytes(path + L"\\" + std::to_wstring(file) + L".dat", std::string(512, 'x'));
    }
    const std::wstring package = L"\"" + BinPath(L"MsiCASample.msi") + L"\"", log = dir / L"install.log";
    EXPECT_EQ(0u, RunProcess(L"\"" + BinPath(L"ui_host.exe") + L"\" " + package + L" \"" +
                                 (dir / L"messages.txt") + L"\" \"" + log + L"\" ADDLOCAL=Main",
                             180000));
    EXPECT_EQ(0u, RunProcess(L"msiexec /x " + package + L" /qn"));
    SetEnvironmentVariableW(L"TMP", nullptr);

    long long reserved = 0;
    auto actions = ByAction(ReadMessages(dir / L"messages.txt"), reserved);
    EXPECT_EQ(L"moraCA_EMDataBackup. Saving the agent data", actions[L"moraCA_EMDataBackup"].start);
    EXPECT_EQ(L"moraCA_EMDataRestore. Restoring the agent data", actions[L"moraCA_EMDataRestore"].start);
    // The subject first, then files in their order, never one message per file.
    for (const wchar_t* action : {L"moraCA_EMDataBackup", L"moraCA_EMDataRestore"})
    {
        const std::vector<Message>& data = actions[action].data;
        ASSERT_LT(2u, data.size()) << Narrow(action);
        EXPECT_EQ(L"Sentrel", data.front().text);
        EXPECT_TRUE(EndsWith(data.back().text, L"(2000 of 2000)")) << Narrow(data.back().text);
        EXPECT_GT(kFiles / 10u, data.size()) << Narrow(action);
        for (size_t i = 2; i < data.size(); ++i)
        {
            const auto done = [&](size_t n) {
                return std::stoi(data[n].text.substr(data[n].text.find(L'(') + 1));
            };
            EXPECT_LT(done(i - 1), done(i)) << Narrow(data[i].text);
            EXPECT_TRUE(i < 10 || data[i].ms - data[i - 10].ms >= 1000)
                << "ten a second: " << Narrow(data[i].text);
        }
    }
    // The bar moves forward only, within the ticks reserved for the actions that ran.
    long long moved = 0;
    for (const auto& [action, sent] : actions)
    {
        long long own = 0;
        for (long long ticks : sent.moves)
        {
            EXPECT_LT(0, ticks) << Narrow(action);
            own += ticks;
        }
        EXPECT_GE(kTicksPerAction, own) << Narrow(action);
        moved += own;
    }
    EXPECT_EQ(4 * kTicksPerAction, reserved) << "backup, restore, convert, final configuration";
    EXPECT_EQ(reserved, moved);
    EXPECT_NE(std::string::npos, ReadFileString(log).find("\n99.dat (2000 of 2000)")) << "the verbose log";
}
