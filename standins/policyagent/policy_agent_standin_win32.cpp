// Stand-in for the platform's IPsec policy agent, for tests only. It runs as
// a real service under the service control manager and records every user
// control it receives together with what "ActivePolicy" held at that moment.
//
// Behaviour is chosen by values under HKLM\SOFTWARE\DravolinTests\PolicyAgentStandIn,
// read when the service starts:
//   "Mode" (REG_SZ): "run" (default) reports running and accepts control 129;
//     "pending" stays start-pending for "PendingMs" milliseconds, then stops;
//     "fail" reports stopped with an error right away.
//   "PendingMs" (REG_DWORD): duration of "pending", default 12000.
// Records, appended to "Log" (REG_SZ, one line per event):
//   "start <mode>", "control <code> <ActivePolicy or (none)>", "stop".
#include <windows.h>

#include <string>

namespace {

constexpr char kConfigKey[] = "SOFTWARE\\DravolinTests\\PolicyAgentStandIn";
constexpr char kStoreKey[] = "SOFTWARE\\Policies\\Microsoft\\Windows\\IPSec\\Policy\\Local";

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;

class Key {
  public:
    Key(const char* path, bool create) {
        if (create)
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                            nullptr);
        else
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key_);
    }
    ~Key() {
        if (key_)
            RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    std::string String(const char* name) const {
        if (!key_)
            return {};
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            return {};
        std::string text(size, '\0');
        if (size > 0 &&
            RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                             &size) != ERROR_SUCCESS)
            return {};
        text.resize(size);
        while (!text.empty() && text.back() == '\0')
            text.pop_back();
        return text;
    }
    DWORD Dword(const char* name, DWORD fallback) const {
        DWORD value = 0;
        DWORD size = sizeof value;
        DWORD type = 0;
        if (!key_ ||
            RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD)
            return fallback;
        return value;
    }
    void SetString(const char* name, const std::string& text) const {
        if (key_)
            RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1));
    }

  private:
    HKEY key_ = nullptr;
};

void AppendLog(const std::string& line) {
    Key config(kConfigKey, true);
    config.SetString("Log", config.String("Log") + line + "\n");
}

void Report(DWORD state, DWORD accepted, DWORD exitCode = NO_ERROR, DWORD waitHint = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHint;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING, 0);
        SetEvent(g_stopEvent);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    if (control >= 128 && control <= 255) {
        Key store(kStoreKey, false);
        std::string active = store.String("ActivePolicy");
        AppendLog("control " + std::to_string(control) + " " +
                  (active.empty() ? std::string("(none)") : active));
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerExW(L"PolicyAgent", Handler, nullptr);
    if (!g_statusHandle)
        return;
    std::string mode;
    DWORD pendingMs = 12000;
    {
        Key config(kConfigKey, false);
        mode = config.String("Mode");
        pendingMs = config.Dword("PendingMs", pendingMs);
    }
    if (mode.empty())
        mode = "run";
    AppendLog("start " + mode);

    if (mode == "fail") {
        Report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR);
        return;
    }
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (mode == "pending") {
        Report(SERVICE_START_PENDING, 0, NO_ERROR, pendingMs + 1000);
        WaitForSingleObject(g_stopEvent, pendingMs);
    } else {
        Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
        WaitForSingleObject(g_stopEvent, INFINITE);
    }
    AppendLog("stop");
    CloseHandle(g_stopEvent);
    Report(SERVICE_STOPPED, 0);
}

} // namespace

int main() {
    wchar_t name[] = L"PolicyAgent";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
