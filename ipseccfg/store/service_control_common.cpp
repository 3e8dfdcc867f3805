#include "service_control.h"

namespace ipseccfg {

CServiceControl::~CServiceControl() {
    Close();
}

CServiceControl::CServiceControl(CServiceControl&& other) noexcept
    : manager_(other.manager_), service_(other.service_) {
    other.manager_ = 0;
    other.service_ = 0;
}

CServiceControl& CServiceControl::operator=(CServiceControl&& other) noexcept {
    if (this != &other) {
        Close();
        manager_ = other.manager_;
        service_ = other.service_;
        other.manager_ = 0;
        other.service_ = 0;
    }
    return *this;
}

} // namespace ipseccfg
