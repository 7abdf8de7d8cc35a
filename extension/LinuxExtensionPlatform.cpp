#include "extension/ExtensionPlatform.h"

namespace ostrela {

namespace {
class UnavailablePlatform : public ExtensionPlatform {
    void submitActivation(const QString&, ExtensionRequestCallbacks c) override {
        if (c.failed) c.failed({kExtensionErrorDomain, unknownError, QStringLiteral("Not available yet")});
    }
    void submitDeactivation(const QString&, ExtensionRequestCallbacks c) override {
        if (c.failed) c.failed({kExtensionErrorDomain, unknownError, QStringLiteral("Not available yet")});
    }
};
}  // namespace

std::shared_ptr<ExtensionPlatform> createSystemExtensionPlatform() { return std::make_shared<UnavailablePlatform>(); }

}  // namespace ostrela
