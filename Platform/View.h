// A view model that a window hosts. The core builds it (inputs, callbacks, derived
// presentation); the desktop host renders it with the QML file of the same name, the simulated
// host keeps it for tests to read and tap. Main thread only.
#pragma once

#include <boost/signals2/signal.hpp>
#include <string>

namespace platform {

class ViewModel {
public:
    virtual ~ViewModel() = default;
    // Names the view that renders this model (the QML file's base name on the desktop).
    virtual std::string viewName() const = 0;
    // Fires after the model's presentation changed.
    boost::signals2::signal<void()> changed;
};

} // namespace platform
