#include "extension/ScriptedExtensionPlatform.h"

namespace ostrela {

void ScriptedExtensionPlatform::submitActivation(const QString& identifier, ExtensionRequestCallbacks callbacks) {
    requests_.push_back({Kind::activation, identifier, std::move(callbacks)});
}

void ScriptedExtensionPlatform::submitDeactivation(const QString& identifier, ExtensionRequestCallbacks callbacks) {
    requests_.push_back({Kind::deactivation, identifier, std::move(callbacks)});
}

void ScriptedExtensionPlatform::queryCameraService(std::function<void(CameraServiceState)> done) {
    ++serviceQueries_;
    if (done) done(serviceState_);
}

bool ScriptedExtensionPlatform::playReplacement(const ExtensionVersion& existing, const ExtensionVersion& replacement,
                                                ReplacementAction* answer) {
    if (requests_.empty() || !requests_.back().callbacks.replacing) return false;
    ReplacementAction a = requests_.back().callbacks.replacing(existing, replacement);
    if (answer) *answer = a;
    return true;
}

bool ScriptedExtensionPlatform::playNeedsUserApproval() {
    if (requests_.empty() || !requests_.back().callbacks.needsUserApproval) return false;
    requests_.back().callbacks.needsUserApproval();
    return true;
}

bool ScriptedExtensionPlatform::playFinished(int result) {
    if (requests_.empty() || !requests_.back().callbacks.finished) return false;
    requests_.back().callbacks.finished(result);
    return true;
}

bool ScriptedExtensionPlatform::playFailed(const ExtensionRequestError& error) {
    if (requests_.empty() || !requests_.back().callbacks.failed) return false;
    requests_.back().callbacks.failed(error);
    return true;
}

}  // namespace ostrela
