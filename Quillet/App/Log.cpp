#include "Quillet/App/Log.h"

#include "Quillet/App/Constants.h"

namespace quillet {

Log::Log(std::string category) : logger(Constants::logSubsystem, std::move(category)) {}

// The platform logger checks the level before anything is formatted.
void Log::info(const std::string& message) const {
    logger.info(message);
}
void Log::warning(const std::string& message) const {
    logger.error(message);
}
void Log::error(const std::string& message) const {
    logger.error(message);
}

} // namespace quillet
