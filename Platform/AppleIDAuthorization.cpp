#include "Platform/AppleIDAuthorization.h"

#include "Platform/Host.h"

namespace platform {

void UnavailableAppleIDAuthorization::performRequest(std::vector<std::string>,
                                                     std::shared_ptr<Window>,
                                                     Completion completion) {
    completion(std::nullopt,
               AppleIDAuthorizationFailure{std::string(AppleIDAuthorizationError::domain), 1000,
                                           "Sign in with Apple is not available on this system."});
}

AppleIDAuthorization& appleIDAuthorization() {
    return host().appleIDAuthorization();
}

} // namespace platform
