// The engine's log files on the local disk.
#pragma once

#include "log_file.h"

namespace dravolin {

class DiskLogFiles : public LogFiles {
  public:
    std::unique_ptr<LogFile> create(const std::string& path, std::string& failureText) override;
};

} // namespace dravolin
