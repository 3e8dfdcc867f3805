// Error objects of the connection code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace dravolin {

class CError {
  public:
    explicit CError(std::unique_ptr<CError> inner = nullptr) : inner_(std::move(inner)) {}
    virtual ~CError() = default;
    CError(const CError&) = delete;
    CError& operator=(const CError&) = delete;

    virtual std::string text(bool withInner) const;

  protected:
    std::string innerText(bool withInner) const;

  private:
    std::unique_ptr<CError> inner_;
};

// A system error code (socket codes included) with the system's message text.
class CSysError : public CError {
  public:
    explicit CSysError(std::uint32_t code, std::unique_ptr<CError> inner = nullptr)
        : CError(std::move(inner)), code_(code) {}

    std::uint32_t code() const { return code_; }
    std::string text(bool withInner) const override;

  private:
    std::uint32_t code_;
};

} // namespace dravolin
