// The configurator's dialog (template 102) on the plain dialog manager.
#pragma once

#include <windows.h>

namespace ipseccfg {

class CDravolinIPSecCfgDlg {
  public:
    explicit CDravolinIPSecCfgDlg(HINSTANCE instance);
    ~CDravolinIPSecCfgDlg();
    CDravolinIPSecCfgDlg(const CDravolinIPSecCfgDlg&) = delete;
    CDravolinIPSecCfgDlg& operator=(const CDravolinIPSecCfgDlg&) = delete;

    // Runs the dialog modally; IDOK or IDCANCEL.
    INT_PTR DoModal();

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

    BOOL OnInitDialog();
    void OnOK();
    void OnCancel();
    void OnActivateClicked();
    bool OnSysCommand(WPARAM command);
    bool OnPaint();

    void EnableFields(bool enable);
    void ShowMessage(UINT stringId);
    void GotoControl(int id);

    HINSTANCE instance_;
    HICON icon_ = nullptr;
    HWND window_ = nullptr;
    HWND activateBox_ = nullptr; // check box 1003, bound when the dialog opens
};

} // namespace ipseccfg
