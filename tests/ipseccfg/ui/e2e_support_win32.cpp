#include "e2e_support_win32.h"

#include <algorithm>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

constexpr char kAgentConfigKey[] = "SOFTWARE\\DravolinTests\\PolicyAgentStandIn";

class ScHandle {
  public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_;
};

class RegKey {
  public:
    RegKey(const std::string& path, bool create) {
        if (create)
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key_, nullptr);
        else
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key_);
    }
    ~RegKey() {
        if (key_)
            RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

  private:
    HKEY key_ = nullptr;
};

std::wstring AgentBinaryPath() {
    return ProgramDir() + L"\\DravolinPolicyAgentStandIn.exe";
}

std::wstring ConfiguratorCommandLine(const std::wstring& arguments,
                                     const wchar_t* program = kWindowProgram) {
    std::wstring line = L"\"" + ProgramDir() + L"\\" + program + L"\"";
    if (!arguments.empty())
        line += L" " + arguments;
    return line;
}

HANDLE Launch(const std::wstring& arguments, DWORD* processId,
              const wchar_t* program = kWindowProgram, HANDLE out = nullptr, HANDLE err = nullptr) {
    std::wstring line = ConfiguratorCommandLine(arguments, program);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (out != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = out;
        startup.hStdError = err;
    }
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, out != nullptr, 0, nullptr, nullptr,
                        &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    if (processId)
        *processId = info.dwProcessId;
    return info.hProcess;
}

int WaitExit(HANDLE process, DWORD timeoutMs) {
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return static_cast<int>(code);
}

} // namespace

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

AgentInstallation::AgentInstallation() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return;
    const std::wstring binary = L"\"" + AgentBinaryPath() + L"\"";
    ScHandle existing(OpenServiceW(manager.get(), L"PolicyAgent", SERVICE_ALL_ACCESS));
    if (existing) {
        // Someone else's "PolicyAgent": remember it and point it at ours.
        DWORD needed = 0;
        QueryServiceConfigW(existing.get(), nullptr, 0, &needed);
        std::vector<unsigned char> buffer(needed + 16);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(existing.get(), config, static_cast<DWORD>(buffer.size()),
                                &needed)) {
            previousPath_ = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
            previousStart_ = config->dwStartType;
        }
        SERVICE_STATUS status{};
        ControlService(existing.get(), SERVICE_CONTROL_STOP, &status);
        ok_ = ChangeServiceConfigW(existing.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                   SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr) != FALSE;
    } else {
        ScHandle created(CreateServiceW(manager.get(), L"PolicyAgent", L"PolicyAgent",
                                        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(),
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
        ok_ = static_cast<bool>(created);
        created_ = ok_;
    }
    if (ok_)
        ok_ = StopAgent();
}

AgentInstallation::~AgentInstallation() {
    StopAgent();
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return;
    ScHandle service(OpenServiceW(manager.get(), L"PolicyAgent", SERVICE_ALL_ACCESS));
    if (!service)
        return;
    if (created_)
        DeleteService(service.get());
    else if (!previousPath_.empty())
        ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, previousStart_, SERVICE_NO_CHANGE,
                             previousPath_.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAgentConfigKey);
}

void SetAgentMode(const std::string& mode, DWORD pendingMs) {
    RegKey key(kAgentConfigKey, true);
    RegSetValueExA(key.get(), "Mode", 0, REG_SZ, reinterpret_cast<const BYTE*>(mode.c_str()),
                   static_cast<DWORD>(mode.size() + 1));
    RegSetValueExA(key.get(), "PendingMs", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&pendingMs),
                   sizeof pendingMs);
}

bool SetAgentStartType(DWORD startType) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(manager ? OpenServiceW(manager.get(), L"PolicyAgent", SERVICE_ALL_ACCESS)
                             : nullptr);
    return service &&
           ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

std::vector<std::string> AgentLog() {
    DWORD type = 0;
    std::vector<unsigned char> data;
    std::vector<std::string> lines;
    if (!ReadRaw(kAgentConfigKey, "Log", type, data))
        return lines;
    std::string text(data.begin(), data.end());
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

void ClearAgentLog() {
    RegKey key(kAgentConfigKey, true);
    RegDeleteValueA(key.get(), "Log");
}

DWORD AgentState() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(manager ? OpenServiceW(manager.get(), L"PolicyAgent", SERVICE_QUERY_STATUS)
                             : nullptr);
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status))
        return 0;
    return status.dwCurrentState;
}

bool StartAgent() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(manager ? OpenServiceW(manager.get(), L"PolicyAgent", SERVICE_START)
                             : nullptr);
    return service && StartServiceW(service.get(), 0, nullptr);
}

bool WaitAgentState(DWORD state, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 50) {
        if (AgentState() == state)
            return true;
        if (waited >= timeoutMs)
            return false;
        Sleep(50);
    }
}

bool StopAgent(DWORD timeoutMs) {
    {
        ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ScHandle service(manager ? OpenServiceW(manager.get(), L"PolicyAgent", SERVICE_ALL_ACCESS)
                                 : nullptr);
        if (!service)
            return false;
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING)
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    }
    return WaitAgentState(SERVICE_STOPPED, timeoutMs);
}

namespace {

void DeleteTree(HKEY parent, const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    char child[256];
    while (true) {
        DWORD size = sizeof child;
        if (RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        DeleteTree(key, child);
    }
    RegCloseKey(key);
    RegDeleteKeyA(parent, name.c_str());
}

} // namespace

void ClearStore() {
    for (const auto& name : StoreKeys())
        DeleteTree(HKEY_LOCAL_MACHINE, std::string(kStoreBase) + "\\" + name);
    RegKey base(kStoreBase, true);
    RegDeleteValueA(base.get(), "ActivePolicy");
}

std::vector<std::string> StoreKeys() {
    std::vector<std::string> names;
    RegKey base(kStoreBase, false);
    if (!base)
        return names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(base.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, size);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool ReadRaw(const std::string& path, const std::string& value, DWORD& type,
             std::vector<unsigned char>& data) {
    RegKey key(path, false);
    DWORD size = 0;
    if (!key ||
        RegQueryValueExA(key.get(), value.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    data.assign(size, 0);
    if (size == 0)
        return true;
    return RegQueryValueExA(key.get(), value.c_str(), nullptr, &type, data.data(), &size) ==
           ERROR_SUCCESS;
}

std::string ActivePolicy() {
    // Wine terminates every REG_SZ it stores, whatever byte count it was
    // given, so one trailing NUL is dropped here.
    RegKey base(kStoreBase, false);
    DWORD type = 0;
    DWORD size = 0;
    if (!base || RegQueryValueExW(base.get(), L"ActivePolicy", nullptr, &type, nullptr, &size) !=
                     ERROR_SUCCESS)
        return "(missing)";
    std::wstring wide(size / sizeof(wchar_t), L'\0');
    if (size > 0 && RegQueryValueExW(base.get(), L"ActivePolicy", nullptr, &type,
                                     reinterpret_cast<BYTE*>(wide.data()), &size) != ERROR_SUCCESS)
        return "(unreadable)";
    if (type != REG_SZ)
        return "(not REG_SZ)";
    if (!wide.empty() && wide.back() == L'\0')
        wide.pop_back();
    std::string text;
    for (wchar_t c : wide)
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return text;
}

void WriteActivePolicy(const std::string& text) {
    RegKey base(kStoreBase, true);
    RegSetValueExA(base.get(), "ActivePolicy", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()));
}

int RunConfigurator(const std::wstring& arguments, DWORD timeoutMs) {
    HANDLE process = Launch(arguments, nullptr);
    if (!process)
        return -2;
    const int code = WaitExit(process, timeoutMs);
    CloseHandle(process);
    return code;
}

ConfiguratorProcess::ConfiguratorProcess(const std::wstring& arguments, const wchar_t* program) {
    // In the body: the members' own initialisers would overwrite the id.
    process_ = Launch(arguments, &processId_, program);
}

namespace {

// One pipe for a child's output: the write end inheritable, the read end not.
struct OutputPipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    OutputPipe() {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (CreatePipe(&read, &write, &inherit, 0))
            SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    }
    ~OutputPipe() {
        CloseWrite();
        if (read)
            CloseHandle(read);
    }
    OutputPipe(const OutputPipe&) = delete;
    OutputPipe& operator=(const OutputPipe&) = delete;
    void CloseWrite() {
        if (write)
            CloseHandle(write);
        write = nullptr;
    }
    std::string ReadAll() const {
        std::string text;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0)
            text.append(buffer, got);
        return text;
    }
};

} // namespace

CapturedRun RunCaptured(const wchar_t* program, const std::wstring& arguments, DWORD timeoutMs) {
    CapturedRun run;
    OutputPipe out;
    OutputPipe err;
    if (!out.read || !err.read)
        return run;
    HANDLE process = Launch(arguments, nullptr, program, out.write, err.write);
    // Only the child holds the write ends now, so the reads end with it.
    out.CloseWrite();
    err.CloseWrite();
    if (!process)
        return run;
    std::thread outReader([&] { run.out = out.ReadAll(); });
    std::thread errReader([&] { run.err = err.ReadAll(); });
    run.exitCode = WaitExit(process, timeoutMs);
    outReader.join();
    errReader.join();
    CloseHandle(process);
    return run;
}

ConfiguratorProcess::~ConfiguratorProcess() {
    if (process_) {
        if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
    }
}

int ConfiguratorProcess::Wait(DWORD timeoutMs) {
    if (!process_)
        return -2;
    return WaitExit(process_, timeoutMs);
}

bool ConfiguratorProcess::WaitIdle(DWORD timeoutMs) {
    return process_ && WaitForInputIdle(process_, timeoutMs) == 0;
}

} // namespace e2e
