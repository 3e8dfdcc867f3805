#include "ipseccfg_dialog_win32.h"

#include <string>

#include "../ops/policy_store_ops.h"
#include "dialog_logic.h"
#include "platform_text.h"
#include "resource.h"

namespace ipseccfg {

namespace {

std::wstring LoadResourceString(HINSTANCE instance, UINT id) {
    const wchar_t* text = nullptr;
    // With a zero length the call hands out a read-only pointer into the
    // resource itself.
    const int length = LoadStringW(instance, id, reinterpret_cast<wchar_t*>(&text), 0);
    if (length <= 0 || text == nullptr)
        return {};
    return std::wstring(text, static_cast<std::size_t>(length));
}

// Message boxes carry the program's base name as caption, since the
// resources define no title of their own.
std::wstring ApplicationTitle() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length);
    const auto slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const auto dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    return name;
}

std::u16string ToU16(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

std::wstring ToWide(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring WindowText(HWND control) {
    const int length = GetWindowTextLengthW(control);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(control, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

} // namespace

CDravolinIPSecCfgDlg::CDravolinIPSecCfgDlg(HINSTANCE instance)
    : instance_(instance), icon_(LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

// Icons loaded with LoadIcon are shared and need no destroying.
CDravolinIPSecCfgDlg::~CDravolinIPSecCfgDlg() = default;

INT_PTR CDravolinIPSecCfgDlg::DoModal() {
    return DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_DRAVOLINIPSECCFG_DIALOG), nullptr,
                           DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDravolinIPSecCfgDlg::DialogProc(HWND window, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
    CDravolinIPSecCfgDlg* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDravolinIPSecCfgDlg*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
    } else {
        self = reinterpret_cast<CDravolinIPSecCfgDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    if (self == nullptr)
        return FALSE;
    return self->Handle(message, wParam, lParam);
}

INT_PTR CDravolinIPSecCfgDlg::Handle(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
        case IDC_ACTIVATE:
            if (HIWORD(wParam) == BN_CLICKED) {
                OnActivateClicked();
                return TRUE;
            }
            break;
        default:
            break;
        }
        return FALSE;
    case WM_SYSCOMMAND:
        return OnSysCommand(wParam) ? TRUE : FALSE;
    case WM_PAINT:
        return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        // Returned as is by the dialog manager.
        return reinterpret_cast<INT_PTR>(icon_);
    default:
        return FALSE;
    }
}

BOOL CDravolinIPSecCfgDlg::OnInitDialog() {
    activateBox_ = GetDlgItem(window_, IDC_ACTIVATE);

    const std::wstring aboutText = LoadResourceString(instance_, IDS_ABOUTBOX);
    HMENU systemMenu = GetSystemMenu(window_, FALSE);
    if (systemMenu != nullptr && !aboutText.empty()) {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, aboutText.c_str());
    }

    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    DialogSettings settings;
    const bool rulesFound = ReadCurrentSettings(settings.address, settings.port, settings.key);
    Guid active;
    std::optional<Guid> activePolicy;
    if (ReadActivePolicy(&active))
        activePolicy = active;
    const DialogStart start = DecideDialogStart(settings, rulesFound, activePolicy);
    if (start.foreignPolicy) {
        ShowMessage(IDS_FOREIGN_POLICY_ACTIVE);
        EndDialog(window_, IDCANCEL);
        return TRUE;
    }
    SendMessageW(activateBox_, BM_SETCHECK, start.activateChecked ? BST_CHECKED : BST_UNCHECKED, 0);
    SetDlgItemTextW(window_, IDC_ADDRESS, ToWide(start.addressText).c_str());
    SetDlgItemTextW(window_, IDC_PORT, ToWide(start.portText).c_str());
    SetDlgItemTextW(window_, IDC_KEY, ToWide(start.keyText).c_str());
    EnableFields(start.activateChecked);
    return TRUE;
}

void CDravolinIPSecCfgDlg::OnOK() {
    const bool deactivate = SendMessageW(activateBox_, BM_GETCHECK, 0, 0) == BST_UNCHECKED;
    const std::wstring addressText = WindowText(GetDlgItem(window_, IDC_ADDRESS));
    const std::wstring portText = WindowText(GetDlgItem(window_, IDC_PORT));
    std::uint32_t address = 0;
    std::uint32_t port = 0;
    switch (CheckDialogInput(ToU16(addressText), ToU16(portText), ResolveAddress, address, port)) {
    case OkVerdict::InvalidAddress:
        ShowMessage(IDS_INVALID_ADDRESS);
        GotoControl(IDC_ADDRESS);
        return;
    case OkVerdict::InvalidPort:
        ShowMessage(IDS_INVALID_PORT);
        GotoControl(IDC_PORT);
        return;
    case OkVerdict::Apply:
        break;
    }
    const std::wstring key = WindowText(GetDlgItem(window_, IDC_KEY));
    if (!ApplyConfiguration(address, port, ToU16(key), deactivate))
        ShowMessage(IDS_APPLY_FAILED);
    EndDialog(window_, IDOK);
}

void CDravolinIPSecCfgDlg::OnCancel() {
    EndDialog(window_, IDCANCEL);
}

void CDravolinIPSecCfgDlg::OnActivateClicked() {
    EnableFields(SendMessageW(activateBox_, BM_GETCHECK, 0, 0) == BST_CHECKED);
}

bool CDravolinIPSecCfgDlg::OnSysCommand(WPARAM command) {
    // The about entry is only added when its text exists, and the program
    // ships no about box, so the command is swallowed rather than passed on.
    return (command & 0xFFF0) == IDM_ABOUTBOX;
}

bool CDravolinIPSecCfgDlg::OnPaint() {
    if (!IsIconic(window_))
        return false;
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(window_, &paint);
    SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(window_, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon_);
    EndPaint(window_, &paint);
    return true;
}

void CDravolinIPSecCfgDlg::EnableFields(bool enable) {
    for (int id : {IDC_ADDRESS, IDC_PORT, IDC_KEY})
        EnableWindow(GetDlgItem(window_, id), enable ? TRUE : FALSE);
}

void CDravolinIPSecCfgDlg::ShowMessage(UINT stringId) {
    const std::wstring text = LoadResourceString(instance_, stringId);
    const std::wstring title = ApplicationTitle();
    MessageBoxW(window_, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

void CDravolinIPSecCfgDlg::GotoControl(int id) {
    SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window_, id)), TRUE);
}

} // namespace ipseccfg
