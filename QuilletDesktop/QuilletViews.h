// What the desktop host needs to know of the application: which QML draws each of its view
// models, and what `--status` adds about it (the hidden-items panel, the collapsed state).
// Called once on the main thread, before the application runs.
#pragma once

namespace desktop {
class DesktopHost;
}

namespace quilletdesktop {

// Registers the adapters and QML files of the hidden-items panel, the settings window and the
// sign-in window with the host's views.
void registerQuilletViews();

// Adds "collapsed" and "panel" to what the host's `--status` prints.
void addQuilletStatus(desktop::DesktopHost& host);

} // namespace quilletdesktop
