// Starts a task on the main actor: the awaitable runs on the main run loop, and an error that
// escapes it is logged (category "account"), never thrown into the run loop.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <string>

namespace quillet {

void startMainTask(boost::asio::awaitable<void> task, std::string what);

} // namespace quillet
