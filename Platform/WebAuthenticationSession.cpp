#include "Platform/WebAuthenticationSession.h"

#include "Platform/Browser.h"
#include "Platform/Host.h"

namespace platform {

WebAuthenticationFailure WebAuthenticationFailure::make(int code) {
    namespace E = WebAuthenticationSessionError;
    switch (code) {
    case E::canceledLogin:
        return {code, "The user canceled login."};
    case E::presentationContextNotProvided:
        return {code, "Cannot start the authentication session without a presentation context."};
    case E::presentationContextInvalid:
        return {code, "The presentation context is invalid."};
    default:
        return {code, "The authentication session failed."};
    }
}

WebAuthenticationSessions& webAuthenticationSessions() {
    return host().webAuthenticationSessions();
}

Browser& browser() {
    return host().browser();
}

} // namespace platform
