#pragma once
// A stand-in for the system's extension service that records every request and plays the
// outcomes a test or a window preview asks for, on the latest request.
#include "extension/ExtensionPlatform.h"

#include <vector>

namespace ostrela {

class ScriptedExtensionPlatform : public ExtensionPlatform {
public:
    enum class Kind { activation, deactivation };
    struct Request {
        Kind kind;
        QString identifier;
        ExtensionRequestCallbacks callbacks;
    };

    void submitActivation(const QString& identifier, ExtensionRequestCallbacks callbacks) override;
    void submitDeactivation(const QString& identifier, ExtensionRequestCallbacks callbacks) override;
    // Answers at once with the state set below.
    void queryCameraService(std::function<void(CameraServiceState)> done) override;

    const std::vector<Request>& requests() const { return requests_; }

    // Each plays on the latest request; false (and nothing happens) when there is none.
    bool playReplacement(const ExtensionVersion& existing, const ExtensionVersion& replacement,
                         ReplacementAction* answer = nullptr);
    bool playNeedsUserApproval();
    bool playFinished(int result);
    bool playFailed(const ExtensionRequestError& error);

    // What the service manager answers ("unknown" until set) and how often it was asked.
    void setCameraServiceState(CameraServiceState state) { serviceState_ = state; }
    int serviceQueries() const { return serviceQueries_; }

private:
    std::vector<Request> requests_;
    CameraServiceState serviceState_ = CameraServiceState::unknown;
    int serviceQueries_ = 0;
};

}  // namespace ostrela
