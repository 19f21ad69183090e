#include "Platform/Sim/SimAppleIDAuthorization.h"

namespace platform::sim {

void SimAppleIDAuthorization::performRequest(std::vector<std::string> scopes,
                                             std::shared_ptr<Window> anchor,
                                             Completion completion) {
    auto request = std::make_shared<Request>();
    request->scopes = std::move(scopes);
    request->anchor = std::move(anchor);
    request->completion = std::move(completion);
    requests_.push_back(std::move(request));
}

bool SimAppleIDAuthorization::answer(std::optional<AppleIDCredential> credential,
                                     std::optional<AppleIDAuthorizationFailure> failure) {
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it) {
        auto request = *it;
        if (request->answered)
            continue;
        request->answered = true;
        loop_.post(
            [request, credential = std::move(credential), failure = std::move(failure)]() mutable {
                auto completion = std::move(request->completion);
                request->completion = nullptr;
                if (completion)
                    completion(std::move(credential), std::move(failure));
            });
        return true;
    }
    return false;
}

bool SimAppleIDAuthorization::complete(AppleIDCredential credential) {
    return answer(std::move(credential), std::nullopt);
}

bool SimAppleIDAuthorization::userCancel() {
    return answer(std::nullopt,
                  AppleIDAuthorizationFailure{std::string(AppleIDAuthorizationError::domain),
                                              AppleIDAuthorizationError::canceled,
                                              "The user canceled the authorization attempt."});
}

bool SimAppleIDAuthorization::fail(long code, std::string localizedDescription) {
    return answer(std::nullopt,
                  AppleIDAuthorizationFailure{std::string(AppleIDAuthorizationError::domain), code,
                                              std::move(localizedDescription)});
}

} // namespace platform::sim
