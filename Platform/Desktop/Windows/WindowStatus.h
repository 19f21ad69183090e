// What `--status` says of the application's windows: each shown window's title, frame and the
// controls its scene shows (accessible name, role, frame, enabled, focused), so that scripts
// find a control by its name. Main thread only.
#pragma once

#include <nlohmann/json.hpp>

class QQuickWidget;

namespace desktop {

class DesktopWindow;

// The window: title, frame (Cocoa), visible, key, panel, its controls.
nlohmann::json windowStatusJSON(const DesktopWindow& window);

// The controls of the scene that show, in the scene's order: buttons, switches and check boxes,
// combo boxes, links and the texts the QML names for screen readers, with the role a screen
// reader is given ("push button", "check box", "combo box", "link", "label").
nlohmann::json controlsJSON(const QQuickWidget& scene);

} // namespace desktop
