#include "errors.h"

#include "error_text.h"
#include "os.h"

namespace dravolin {

std::string systemErrorText(std::uint32_t code) {
    std::string text = protocol::formatSystemMessage(os::systemMessage(code));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

} // namespace dravolin
