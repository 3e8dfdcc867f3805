// The configurator's application object, shared by the window program
// (DravolinIPSecCfg.exe) and its console twin (DravolinIPSecCfg.com). What
// differs between the two sits behind ProgramFrontend.
#pragma once

#include "program_run.h"

namespace ipseccfg {

class ProgramFrontend : public ProgramOutput {
  public:
    // The run without arguments; returns the exit code.
    virtual int RunWithoutArguments() = 0;
};

class CDravolinIPSecCfgApp {
  public:
    explicit CDravolinIPSecCfgApp(ProgramFrontend& frontend) : frontend_(frontend) {}

    // Reads the process's command line: without arguments the frontend's own
    // run, else one command-line run. Returns the exit code.
    int Run();

  private:
    ProgramFrontend& frontend_;
    int exitCode_ = 0;
};

} // namespace ipseccfg
