// Program entry of the configurator: one command-line run without a window,
// or the dialog.
#include <windows.h>

#include <commctrl.h>

#include <string>

#include "../store/policy_store_ops.h"
#include "command_line.h"
#include "ipseccfg_dialog_win32.h"
#include "platform_text.h"

namespace ipseccfg {

class CDravolinIPSecCfgApp {
  public:
    explicit CDravolinIPSecCfgApp(HINSTANCE instance) : instance_(instance) {}

    int Run() {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
        InitCommonControlsEx(&controls);

        CDravolinIPSecCfgDlg dialog(instance_);
        const wchar_t* full = GetCommandLineW();
        const std::u16string fullLine(reinterpret_cast<const char16_t*>(full));
        const std::u16string_view tail = CommandLineTail(fullLine);
        if (!tail.empty()) {
            exitCode_ = RunCommandLine(LowerCaseText(std::u16string(tail)), ResolveAddress,
                                       [](const CommandLineSettings& s) {
                                           return ApplyConfiguration(s.address, s.port, s.key,
                                                                     s.deactivate);
                                       });
            return exitCode_;
        }
        dialog.DoModal();
        return exitCode_;
    }

  private:
    HINSTANCE instance_;
    int exitCode_ = 0;
};

} // namespace ipseccfg

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    ipseccfg::CDravolinIPSecCfgApp app(instance);
    return app.Run();
}
