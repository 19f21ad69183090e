// The simulated Apple ID sheet: records each request; a test answers it with a credential, the
// user's cancel or another failure, delivered on the next turn of the run loop. Main thread.
#pragma once

#include "Platform/AppleIDAuthorization.h"
#include "Platform/RunLoop.h"

#include <memory>
#include <string>
#include <vector>

namespace platform::sim {

class SimAppleIDAuthorization final : public AppleIDAuthorization {
public:
    explicit SimAppleIDAuthorization(RunLoop& loop) : loop_(loop) {}

    bool isAvailable() const override { return available; }
    void performRequest(std::vector<std::string> scopes, std::shared_ptr<Window> anchor,
                        Completion completion) override;

    // --- test side ---
    struct Request {
        std::vector<std::string> scopes;
        std::shared_ptr<Window> anchor;
        Completion completion;
        bool answered = false;
    };
    // When false, the host has no sheet.
    bool available = true;
    // Every request, in order.
    const std::vector<std::shared_ptr<Request>>& requests() const { return requests_; }
    // Answers the newest unanswered request; false when there is none.
    bool complete(AppleIDCredential credential);
    bool userCancel();
    bool fail(long code, std::string localizedDescription);
    // The process ended: requests are forgotten unanswered.
    void reset() { requests_.clear(); }

private:
    bool answer(std::optional<AppleIDCredential> credential,
                std::optional<AppleIDAuthorizationFailure> failure);

    RunLoop& loop_;
    std::vector<std::shared_ptr<Request>> requests_;
};

} // namespace platform::sim
