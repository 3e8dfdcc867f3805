// Helpers of the end-to-end tests under Wine: the stand-in policy agent as
// "PolicyAgent", runs of the real configurator program, and direct looks at
// the registry.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

inline constexpr char kStoreBase[] = "SOFTWARE\\Policies\\Microsoft\\Windows\\IPSec\\Policy\\Local";
inline constexpr char kOurPolicyPath[] = "SOFTWARE\\Policies\\Microsoft\\Windows\\IPSec\\Policy\\"
                                         "Local\\ipsecPolicy{07F7805E-A746-486C-B1FF-5A6A33DE185D}";
inline constexpr char kForeignPolicyPath[] =
    "SOFTWARE\\Policies\\Microsoft\\Windows\\IPSec\\Policy\\Local\\ipsecPolicy{11111111-2222-"
    "3333-4444-555555555555}";

// Folder of the running test program (where the program under test lives).
std::wstring ProgramDir();

// Installs the stand-in as "PolicyAgent" (or points an existing service of
// that name at it) and restores or removes it again on destruction.
class AgentInstallation {
  public:
    AgentInstallation();
    ~AgentInstallation();
    AgentInstallation(const AgentInstallation&) = delete;
    AgentInstallation& operator=(const AgentInstallation&) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
    bool created_ = false;
    std::wstring previousPath_;
    DWORD previousStart_ = SERVICE_DEMAND_START;
};

// Base of the suites that run the configurator against the stand-in agent: it is installed
// once per suite and removed after it.
class AgentSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { agent_ = std::make_unique<AgentInstallation>(); }
    static void TearDownTestSuite() { agent_.reset(); }
    static inline std::unique_ptr<AgentInstallation> agent_;
};

// Behaviour of the stand-in at its next start: "run", "pending", "fail".
void SetAgentMode(const std::string& mode, DWORD pendingMs = 12000);
// Start type of the service (SERVICE_DEMAND_START or SERVICE_DISABLED).
bool SetAgentStartType(DWORD startType);
// What the stand-in recorded, one entry per line; cleared by ClearAgentLog.
std::vector<std::string> AgentLog();
void ClearAgentLog();
DWORD AgentState();
bool StartAgent();
// Stops the agent if it runs and waits (bounded) until it is stopped.
bool StopAgent(DWORD timeoutMs = 20000);
// Waits (bounded) for the agent to reach `state`.
bool WaitAgentState(DWORD state, DWORD timeoutMs);

// Removes every object of the policy store and "ActivePolicy"; leaves the
// base key in place.
void ClearStore();
// Names of the keys below the store base, sorted.
std::vector<std::string> StoreKeys();
bool ReadRaw(const std::string& path, const std::string& value, DWORD& type,
             std::vector<unsigned char>& data);
// "ActivePolicy" as stored, or "(missing)".
std::string ActivePolicy();
void WriteActivePolicy(const std::string& text);

// Runs the configurator with `arguments` and returns its exit code, or -1
// when it did not end within `timeoutMs` (it is then terminated).
int RunConfigurator(const std::wstring& arguments, DWORD timeoutMs = 60000);

// The two programs under test: the window program and its console twin.
inline constexpr wchar_t kWindowProgram[] = L"DravolinIPSecCfg.exe";
inline constexpr wchar_t kConsoleProgram[] = L"DravolinIPSecCfg.com";

// One run with standard output and error captured (as bytes).
struct CapturedRun {
    int exitCode = -2; // -1: did not end in time; -2: could not be started
    std::string out;
    std::string err;
};
CapturedRun RunCaptured(const wchar_t* program, const std::wstring& arguments,
                        DWORD timeoutMs = 60000);

// Starts the configurator without waiting; the process handle is closed on
// destruction (terminating the process if it still runs).
class ConfiguratorProcess {
  public:
    explicit ConfiguratorProcess(const std::wstring& arguments = L"",
                                 const wchar_t* program = kWindowProgram);
    ~ConfiguratorProcess();
    ConfiguratorProcess(const ConfiguratorProcess&) = delete;
    ConfiguratorProcess& operator=(const ConfiguratorProcess&) = delete;
    bool started() const { return process_ != nullptr; }
    DWORD processId() const { return processId_; }
    // Exit code, or -1 when it did not end in time.
    int Wait(DWORD timeoutMs);
    // Waits until the program first waits for input (its dialog is up and
    // has finished showing itself).
    bool WaitIdle(DWORD timeoutMs);

  private:
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
};

} // namespace e2e
