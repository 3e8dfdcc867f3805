#include "disk_log_files.h"

#include "output_file.h"
#include "system_error.h"

namespace dravolin {

namespace {

class DiskLogFile : public LogFile {
  public:
    bool open(const std::string& path) { return file_.open(path); }
    bool write(const char* data, std::size_t length) override { return file_.write(data, length); }
    bool close() override { return file_.close(); }
    std::string failureText() const override {
        return file_.error() != 0 ? systemErrorText(file_.error()) : std::string();
    }

  private:
    os::OutputFile file_;
};

} // namespace

std::unique_ptr<LogFile> DiskLogFiles::create(const std::string& path, std::string& failureText) {
    auto file = std::make_unique<DiskLogFile>();
    if (!file->open(path)) {
        failureText = file->failureText();
        return nullptr;
    }
    return file;
}

} // namespace dravolin
