// Reasons that forbid the auto-rehide while they last.
#pragma once

namespace quillet {

enum class RehideSuppressor { contextMenu, settingsWindow, hiddenItemsPanel };

} // namespace quillet
