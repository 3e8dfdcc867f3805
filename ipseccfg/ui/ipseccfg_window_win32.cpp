// Entry of the window program DravolinIPSecCfg.exe: the dialog without
// arguments, else a silent command-line run (no window, no message box; it
// may run where no one can click, as from an installer).
#include <windows.h>

#include <commctrl.h>

#include "ipseccfg_app_win32.h"
#include "ipseccfg_dialog_win32.h"

namespace {

class WindowFrontend final : public ipseccfg::ProgramFrontend {
  public:
    explicit WindowFrontend(HINSTANCE instance) : dialog_(instance) {}

    void Print(std::string_view) override {}
    void Message(std::string_view) override {}
    int RunWithoutArguments() override {
        dialog_.DoModal();
        return 0;
    }

  private:
    ipseccfg::CDravolinIPSecCfgDlg dialog_;
};

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    WindowFrontend frontend(instance);
    ipseccfg::CDravolinIPSecCfgApp app(frontend);
    return app.Run();
}
