// The configurator's dialog driven from outside, as a user would: the real
// program under Wine on a virtual display, with the stand-in policy agent.
// Windows are found by caption and worked through window messages.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support_win32.h"
#include "policy/policy_model.h"

namespace {

using namespace e2e;

constexpr wchar_t kDialogCaption[] = L"DravolinService IP Security Configurator";
// Message boxes carry the program's base name.
constexpr wchar_t kMessageCaption[] = L"DravolinIPSecCfg";
constexpr DWORD kWindowTimeoutMs = 20000;

struct FindData {
    DWORD processId;
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    auto* data = reinterpret_cast<FindData*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t caption[256] = {};
    GetWindowTextW(window, caption, 256);
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if ((data->processId == 0 || pid == data->processId) && std::wstring(cls) == L"#32770" &&
        std::wstring(caption) == data->caption && IsWindowVisible(window)) {
        data->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible dialog-class window of the process (0: of any process) with this
// caption, waited for.
HWND WaitForWindow(DWORD processId, const wchar_t* caption, DWORD timeoutMs = kWindowTimeoutMs) {
    for (DWORD waited = 0;; waited += 50) {
        FindData data{processId, caption, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&data));
        if (data.found)
            return data.found;
        if (waited >= timeoutMs)
            return nullptr;
        Sleep(50);
    }
}

// Every message to the program is bounded: a stuck program fails the test
// instead of hanging it.
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 10000, &result))
        ADD_FAILURE() << "message " << message << " not answered";
    return static_cast<LRESULT>(result);
}

std::wstring Text(HWND window) {
    wchar_t buffer[512] = {};
    Send(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::wstring ItemText(HWND dialog, int id) {
    return Text(GetDlgItem(dialog, id));
}

void SetItemText(HWND dialog, int id, const std::wstring& text) {
    Send(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

bool Checked(HWND dialog) {
    return Send(GetDlgItem(dialog, 1003), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool FieldsEnabled(HWND dialog, bool enabled) {
    for (int id : {1000, 1001, 1002})
        if ((IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE) != enabled)
            return false;
    return true;
}

// Clicks as the user does; the click is handled on the program's thread.
void Click(HWND dialog, int id) {
    Send(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}
// Buttons that open a message box or end the dialog must not block us.
void PostClick(HWND dialog, int id) {
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

BOOL CALLBACK CollectStatics(HWND child, LPARAM param) {
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    if (lstrcmpiW(cls, L"Static") == 0)
        reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(Text(child));
    return TRUE;
}

// Waits for the program's message box, returns its text and closes it.
std::wstring TakeMessage(DWORD processId) {
    HWND box = WaitForWindow(processId, kMessageCaption);
    if (!box)
        return L"(no message box)";
    std::vector<std::wstring> texts;
    EnumChildWindows(box, CollectStatics, reinterpret_cast<LPARAM>(&texts));
    std::wstring message;
    for (const auto& t : texts)
        if (!t.empty())
            message = t;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    for (int i = 0; i < 200 && IsWindow(box); ++i)
        Sleep(50);
    return message;
}

HWND FocusOf(HWND dialog) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    for (int i = 0; i < 80; ++i) {
        if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus)
            return info.hwndFocus;
        Sleep(50);
    }
    return nullptr;
}

// Asks the test wrapper for a screenshot of the display and waits for it.
bool Screenshot(const char* name) {
    char dir[1024] = {};
    if (!GetEnvironmentVariableA("DRAVOLIN_SCREENSHOT_DIR", dir, sizeof dir))
        return false;
    std::string base = std::string("Z:") + dir + "/" + name;
    std::replace(base.begin(), base.end(), '/', '\\');
    const std::string done = base + ".done";
    DeleteFileA(done.c_str());
    HANDLE request = CreateFileA((base + ".request").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (request == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(request);
    for (int i = 0; i < 400; ++i) {
        if (GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(50);
    }
    return false;
}

class DialogRun : public AgentSuite {
  protected:
    void SetUp() override {
        ASSERT_TRUE(agent_ && agent_->ok());
        ASSERT_TRUE(StopAgent());
        ASSERT_TRUE(SetAgentStartType(SERVICE_DEMAND_START));
        SetAgentMode("run");
        ClearAgentLog();
        ClearStore();
    }

    // Fills the dialog and confirms it; the program then ends.
    static int Confirm(ConfiguratorProcess& program, HWND dialog, const std::wstring& address,
                       const std::wstring& port, const std::wstring& key) {
        SetItemText(dialog, 1000, address);
        SetItemText(dialog, 1001, port);
        SetItemText(dialog, 1002, key);
        PostClick(dialog, IDOK);
        return program.Wait(60000);
    }
};

TEST_F(DialogRun, OpensWithDefaultsAndCheckBoxControlsFields) {
    ConfiguratorProcess program;
    ASSERT_TRUE(program.started());
    HWND dialog = WaitForWindow(program.processId(), kDialogCaption);
    ASSERT_NE(dialog, nullptr);

    EXPECT_EQ(ItemText(dialog, 1000), L"0.0.0.0");
    EXPECT_EQ(ItemText(dialog, 1001), L"3260");
    EXPECT_EQ(ItemText(dialog, 1002), L"");
    EXPECT_FALSE(Checked(dialog));
    EXPECT_TRUE(FieldsEnabled(dialog, false));
    EXPECT_NE(Send(GetDlgItem(dialog, 1002), EM_GETPASSWORDCHAR, 0, 0), 0);
    EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    Click(dialog, 1003);
    EXPECT_TRUE(Checked(dialog));
    EXPECT_TRUE(FieldsEnabled(dialog, true));
    Click(dialog, 1003);
    EXPECT_FALSE(Checked(dialog));
    EXPECT_TRUE(FieldsEnabled(dialog, false));

    // The picture kept with the test results: box ticked, fields filled.
    Click(dialog, 1003);
    SetItemText(dialog, 1000, L"192.168.0.5");
    SetItemText(dialog, 1002, L"secret");
    EXPECT_TRUE(Screenshot("ipseccfg_dialog"));

    // Cancel writes nothing.
    PostClick(dialog, IDCANCEL);
    EXPECT_EQ(program.Wait(30000), 0);
    EXPECT_TRUE(StoreKeys().empty());
    EXPECT_EQ(ActivePolicy(), "(missing)");
}

TEST_F(DialogRun, OkAppliesAndReopeningShowsStoredSettings) {
    {
        ConfiguratorProcess program;
        HWND dialog = WaitForWindow(program.processId(), kDialogCaption);
        ASSERT_NE(dialog, nullptr);
        Click(dialog, 1003);
        ASSERT_EQ(Confirm(program, dialog, L"192.168.0.5", L"3260", L"SeCret"), 0);
    }
    EXPECT_EQ(ActivePolicy(), kOurPolicyPath);
    auto model = ipseccfg::PolicyModel::CreateDefault(ipseccfg::ConfiguratorPolicyGuid);
    ASSERT_TRUE(model->Load());
    ASSERT_EQ(model->filterLists.size(), 2u);
    EXPECT_EQ(model->filterLists[1].specs.at(0).destinationPort, 3261);
    // The dialog keeps the key's case, unlike the command line.
    EXPECT_EQ(model->GetRuleKey(model->filterLists[0].ownersReference.at(0)), u"SeCret");
    const auto log = AgentLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), std::string("control 129 ") + kOurPolicyPath);

    ConfiguratorProcess again;
    HWND dialog = WaitForWindow(again.processId(), kDialogCaption);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ItemText(dialog, 1000), L"192.168.0.5");
    EXPECT_EQ(ItemText(dialog, 1001), L"3260");
    EXPECT_EQ(ItemText(dialog, 1002), L"SeCret"); // masked on screen only
    EXPECT_TRUE(Checked(dialog));
    EXPECT_TRUE(FieldsEnabled(dialog, true));

    // Clearing the box and confirming removes the service rules; the
    // policy stays stored and active.
    Click(dialog, 1003);
    EXPECT_TRUE(FieldsEnabled(dialog, false));
    PostClick(dialog, IDOK);
    ASSERT_EQ(again.Wait(60000), 0);
    model = ipseccfg::PolicyModel::CreateDefault(ipseccfg::ConfiguratorPolicyGuid);
    ASSERT_TRUE(model->Load());
    EXPECT_TRUE(model->filterLists.empty());
    EXPECT_EQ(ActivePolicy(), kOurPolicyPath);

    ConfiguratorProcess third;
    dialog = WaitForWindow(third.processId(), kDialogCaption);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ItemText(dialog, 1000), L"0.0.0.0");
    EXPECT_FALSE(Checked(dialog));
    PostClick(dialog, IDCANCEL);
    EXPECT_EQ(third.Wait(30000), 0);
}

TEST_F(DialogRun, InvalidInputShowsMessageAndFocusesField) {
    ConfiguratorProcess program;
    HWND dialog = WaitForWindow(program.processId(), kDialogCaption);
    ASSERT_NE(dialog, nullptr);
    Click(dialog, 1003);
    // Focus elsewhere first, so that the check below sees the program move it.
    Send(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, 1002)), TRUE);
    EXPECT_EQ(FocusOf(dialog), GetDlgItem(dialog, 1002));

    // A label too long for a DNS query: the lookup fails locally.
    SetItemText(dialog, 1000, std::wstring(70, L'x'));
    PostClick(dialog, IDOK);
    EXPECT_EQ(TakeMessage(program.processId()), L"Invalid IP address.");
    EXPECT_EQ(FocusOf(dialog), GetDlgItem(dialog, 1000));

    SetItemText(dialog, 1000, L"10.0.0.1");
    for (const wchar_t* port : {L"0", L"65536", L"-1", L"12a", L""}) {
        SetItemText(dialog, 1001, port);
        PostClick(dialog, IDOK);
        EXPECT_EQ(TakeMessage(program.processId()), L"Invalid port number.") << port;
        EXPECT_EQ(FocusOf(dialog), GetDlgItem(dialog, 1001)) << port;
    }
    // The fields are checked even when the box is cleared.
    Click(dialog, 1003);
    PostClick(dialog, IDOK);
    EXPECT_EQ(TakeMessage(program.processId()), L"Invalid port number.");

    EXPECT_TRUE(IsWindow(dialog));
    PostClick(dialog, IDCANCEL);
    EXPECT_EQ(program.Wait(30000), 0);
    EXPECT_TRUE(StoreKeys().empty());
}

TEST_F(DialogRun, Port65535IsAccepted) {
    ConfiguratorProcess program;
    HWND dialog = WaitForWindow(program.processId(), kDialogCaption);
    ASSERT_NE(dialog, nullptr);
    Click(dialog, 1003);
    ASSERT_EQ(Confirm(program, dialog, L"10.0.0.1", L"65535", L""), 0);
    auto model = ipseccfg::PolicyModel::CreateDefault(ipseccfg::ConfiguratorPolicyGuid);
    ASSERT_TRUE(model->Load());
    ASSERT_EQ(model->filterLists.size(), 2u);
    EXPECT_EQ(model->filterLists[0].specs.at(0).destinationPort, 65535);
    EXPECT_EQ(model->filterLists[1].specs.at(0).destinationPort, 0);
}

TEST_F(DialogRun, ForeignActivePolicyIsRefused) {
    WriteActivePolicy(kForeignPolicyPath);
    ConfiguratorProcess program;
    EXPECT_EQ(TakeMessage(program.processId()),
              L"Another IPSec policy is active. Please first deactivate that policy.");
    EXPECT_EQ(program.Wait(30000), 0);
    EXPECT_TRUE(StoreKeys().empty());
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
}

TEST_F(DialogRun, FailedApplyIsReportedThenDialogCloses) {
    ASSERT_TRUE(SetAgentStartType(SERVICE_DISABLED));
    ConfiguratorProcess program;
    HWND dialog = WaitForWindow(program.processId(), kDialogCaption);
    ASSERT_NE(dialog, nullptr);
    Click(dialog, 1003);
    SetItemText(dialog, 1000, L"10.0.0.1");
    PostClick(dialog, IDOK);
    EXPECT_EQ(TakeMessage(program.processId()), L"The IP Security settings could not be applied.");
    EXPECT_EQ(program.Wait(30000), 0);
    EXPECT_EQ(ActivePolicy(), "(missing)");
}

TEST_F(DialogRun, ConsoleTwinWithoutArgumentsRunsTheDialogAndHandsOnItsExitCode) {
    {
        ConfiguratorProcess twin(L"", kConsoleProgram);
        ASSERT_TRUE(twin.started());
        HWND dialog = WaitForWindow(0, kDialogCaption);
        ASSERT_NE(dialog, nullptr);
        DWORD dialogProcess = 0;
        GetWindowThreadProcessId(dialog, &dialogProcess);
        // The window belongs to the window program the twin started.
        EXPECT_NE(dialogProcess, twin.processId());
        PostClick(dialog, IDCANCEL);
        EXPECT_EQ(twin.Wait(30000), 0);
    }
    {
        // Whatever code the window program ends with, the twin ends with it.
        ConfiguratorProcess twin(L"", kConsoleProgram);
        HWND dialog = WaitForWindow(0, kDialogCaption);
        ASSERT_NE(dialog, nullptr);
        DWORD dialogProcess = 0;
        GetWindowThreadProcessId(dialog, &dialogProcess);
        HANDLE window = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dialogProcess);
        ASSERT_NE(window, nullptr);
        TerminateProcess(window, 7);
        WaitForSingleObject(window, 10000);
        CloseHandle(window);
        EXPECT_EQ(twin.Wait(30000), 7);
    }
    EXPECT_TRUE(StoreKeys().empty());
}

TEST_F(DialogRun, MinimisedWindowRepaintsAndRestores) {
    ConfiguratorProcess program;
    HWND dialog = WaitForWindow(program.processId(), kDialogCaption);
    ASSERT_NE(dialog, nullptr);
    // Minimised before the program has finished showing its dialog, the
    // program's own first show would restore it.
    EXPECT_TRUE(program.WaitIdle(20000));
    ShowWindow(dialog, SW_MINIMIZE);
    for (int i = 0; i < 100 && !IsIconic(dialog); ++i)
        Sleep(50);
    EXPECT_TRUE(IsIconic(dialog));
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    EXPECT_TRUE(IsWindow(dialog));
    ShowWindow(dialog, SW_RESTORE);
    for (int i = 0; i < 100 && IsIconic(dialog); ++i)
        Sleep(50);
    EXPECT_EQ(ItemText(dialog, 1001), L"3260");
    PostClick(dialog, IDCANCEL);
    EXPECT_EQ(program.Wait(30000), 0);
}

} // namespace
