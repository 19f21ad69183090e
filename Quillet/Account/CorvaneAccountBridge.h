// The application's side of the account library: builds the library's configuration from the
// application's constants and owns its facade. Main thread only.
#pragma once

#include "CorvaneAccount/Facade/CorvaneAccountManager.h"
#include "Quillet/App/Log.h"

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <string>

namespace quillet {

class CorvaneAccountBridge {
public:
    static constexpr const char* appSlug = "quillet";

    // What the settings window shows of the signed-in session.
    struct Session {
        std::string cas;
        std::string accountID;
        std::string email;
    };

    // Configures the library and creates its facade.
    static std::shared_ptr<CorvaneAccountBridge> create();
    // The library's configuration, from the constants and the running version.
    static corvane::CorvaneConfig makeConfig();

    // The stored account at launch, refreshed when it has expired.
    boost::asio::awaitable<std::optional<corvane::CorvaneAccount>> restore();
    // The session while the facade is signed in and a session is stored; otherwise none.
    std::optional<Session> currentSession() const;

    std::shared_ptr<corvane::CorvaneAccountManager> manager;
    Log log{"account"};

private:
    CorvaneAccountBridge() = default;
};

} // namespace quillet
