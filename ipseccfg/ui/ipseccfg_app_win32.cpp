#include "ipseccfg_app_win32.h"

#include <windows.h>

#include <string>

#include "command_line.h"
#include "platform_text.h"

namespace ipseccfg {

int CDravolinIPSecCfgApp::Run() {
    const wchar_t* full = GetCommandLineW();
    const std::u16string fullLine(reinterpret_cast<const char16_t*>(full));
    const std::u16string_view tail = CommandLineTail(fullLine);
    if (tail.empty()) {
        exitCode_ = frontend_.RunWithoutArguments();
        return exitCode_;
    }
    exitCode_ = RunProgramCommand(LowerCaseText(std::u16string(tail)),
                                  StoreServices(ResolveAddress), frontend_);
    return exitCode_;
}

} // namespace ipseccfg
