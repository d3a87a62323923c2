#include "platform/connection.h"

#include <string>

namespace sieveharbor::platform {

namespace {

class CertificateCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "certificate"; }
    std::string message(int value) const override {
        switch (static_cast<CertificateError>(value)) {
            case CertificateError::untrusted:
                return "its certificate does not chain to an authority trusted here";
            case CertificateError::nameMismatch:
                return "its certificate is not for the name or address asked for";
            case CertificateError::expired:
                return "its certificate has expired";
            case CertificateError::notYetValid:
                return "its certificate is not valid yet";
            case CertificateError::other:
                break;
        }
        return "its certificate was refused";
    }
};

}  // namespace

const std::error_category& certificateErrorCategory() noexcept {
    static const CertificateCategory category;
    return category;
}

}  // namespace sieveharbor::platform
