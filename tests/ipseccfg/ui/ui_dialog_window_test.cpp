// The dialog object inside the test process, on the virtual display: what
// only its own process can see, the icon it hands out for the caption and
// for dragging the minimised window.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

#include "e2e_support_win32.h"
#include "ui/ipseccfg_dialog_win32.h"

namespace {

LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 10000, &result);
    return static_cast<LRESULT>(result);
}

HWND WaitForDialog() {
    for (int i = 0; i < 400; ++i) {
        HWND window = FindWindowW(L"#32770", L"DravolinService IP Security Configurator");
        if (window && IsWindowVisible(window))
            return window;
        Sleep(50);
    }
    return nullptr;
}

TEST(DialogWindow, IconForCaptionAndDragOfMinimisedWindow) {
    e2e::ClearStore();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    // Shared icon: the same handle the dialog loaded for itself.
    HICON expected = LoadIconW(instance, MAKEINTRESOURCEW(128));
    ASSERT_NE(expected, nullptr);

    std::atomic<LRESULT> big{0}, small{0}, dragNormal{0}, dragMinimised{0};
    std::atomic<bool> iconic{false}, found{false};
    std::thread user([&] {
        HWND dialog = WaitForDialog();
        if (!dialog)
            return;
        found = true;
        big = Send(dialog, WM_GETICON, ICON_BIG);
        small = Send(dialog, WM_GETICON, ICON_SMALL);
        dragNormal = Send(dialog, WM_QUERYDRAGICON);
        // Under Wine the minimised state can follow a moment later, and a
        // minimise that comes while the dialog is still being shown for the
        // first time is undone by that showing: asked again then.
        for (int attempt = 0; attempt < 5 && !IsIconic(dialog); ++attempt) {
            ShowWindow(dialog, SW_MINIMIZE);
            for (int i = 0; i < 100 && !IsIconic(dialog); ++i)
                Sleep(10);
        }
        iconic = IsIconic(dialog) != FALSE;
        // Paint while minimised: the dialog draws its icon itself.
        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        dragMinimised = Send(dialog, WM_QUERYDRAGICON);
        ShowWindow(dialog, SW_RESTORE);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    ipseccfg::CDravolinIPSecCfgDlg dialog(instance);
    const INT_PTR result = dialog.DoModal();
    user.join();

    ASSERT_TRUE(found);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(reinterpret_cast<HICON>(big.load()), expected);
    EXPECT_EQ(reinterpret_cast<HICON>(small.load()), expected);
    EXPECT_EQ(reinterpret_cast<HICON>(dragNormal.load()), expected);
    EXPECT_TRUE(iconic);
    EXPECT_EQ(reinterpret_cast<HICON>(dragMinimised.load()), expected);
}

} // namespace
