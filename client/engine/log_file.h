// The local file that "getlog" copies the service log into, as the engine sees it: the engine
// asks for the file by its path, writes the log's body into it line by line and closes it.
// The connection passes in the files of the local disk; the engine itself opens none.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace dravolin {

class LogFile {
  public:
    virtual ~LogFile() = default;
    // False once a write failed.
    virtual bool write(const char* data, std::size_t length) = 0;
    // Flushes and closes; false when anything failed.
    virtual bool close() = 0;
    // The system's text for the first failure (a write or the close); empty when none.
    virtual std::string failureText() const = 0;
};

class LogFiles {
  public:
    virtual ~LogFiles() = default;
    // Creates (or truncates) the file at `path`; null with the system's text in `failureText`
    // when it could not be created.
    virtual std::unique_ptr<LogFile> create(const std::string& path, std::string& failureText) = 0;
};

} // namespace dravolin
