#include "Platform/RunLoop.h"

#include <boost/asio/execution_context.hpp>

namespace platform {

RunLoop::RunLoop() : context_(std::make_unique<boost::asio::execution_context>()) {}
RunLoop::~RunLoop() = default;

boost::asio::execution_context& RunLoop::executionContext() {
    return *context_;
}

} // namespace platform
