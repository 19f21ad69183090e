// The desktop URL session: libcurl's multi interface driven by one transfer thread of its own.
// HTTP and HTTPS only, TLS peer and host verification always on, time-outs honoured; redirects
// followed hop by hop only as the request's policy allows; a cancelled send removes its
// transfer. send() may be awaited on any executor.
#pragma once

#include "Platform/HttpSession.h"

#include <cstddef>
#include <memory>

namespace desktop {

class DesktopHttpSession final : public platform::HttpSession {
public:
    // Initialises libcurl once per process. main() calls it before any other thread starts;
    // the constructor calls it too, for programs that have no other threads.
    static void globalInit();

    // Starts the transfer thread.
    DesktopHttpSession();
    // Fails the transfers still in flight with URLError::cancelled and joins the thread.
    ~DesktopHttpSession() override;
    DesktopHttpSession(const DesktopHttpSession&) = delete;
    DesktopHttpSession& operator=(const DesktopHttpSession&) = delete;

    boost::asio::awaitable<platform::HttpResult> send(platform::HttpRequest request) override;

    // Bodies larger than this fail with URLError::dataLengthExceedsMaximum, unless the request
    // sets a cap of its own.
    static constexpr std::size_t maxBodyBytes = 32u << 20;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace desktop
