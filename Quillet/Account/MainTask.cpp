#include "Quillet/Account/MainTask.h"

#include "Platform/MainExecutor.h"
#include "Quillet/App/Log.h"

#include <boost/asio/co_spawn.hpp>

namespace quillet {

void startMainTask(boost::asio::awaitable<void> task, std::string what) {
    boost::asio::co_spawn(platform::mainExecutor(), std::move(task),
                          [what = std::move(what)](std::exception_ptr error) {
                              if (!error)
                                  return;
                              // Only the task's name: an error's text may quote an answer.
                              Log("account").error("main_task_failed task=" + what);
                          });
}

} // namespace quillet
