#include "errors.h"

#include "error_text.h"
#include "os.h"

namespace dravolin {

std::string CError::text(bool) const {
    return {};
}

std::string CError::innerText(bool withInner) const {
    return withInner && inner_ ? inner_->text(true) : std::string();
}

std::string CSysError::text(bool withInner) const {
    const auto message = os::systemMessage(code_);
    if (!message) {
        return protocol::kUnknownSystemError;
    }
    return protocol::formatSystemMessage(message) + innerText(withInner);
}

} // namespace dravolin
