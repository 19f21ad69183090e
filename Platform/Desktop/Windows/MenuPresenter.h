// Shows a platform menu as a QMenu at a point of the screen, running the menu's open/close
// protocol; the chosen item's action runs after the menu has closed. Items with a submenu open
// it as a Qt submenu. Main thread only.
#pragma once

#include <QPoint>

class QAction;
class QMenu;

namespace platform {
class Menu;
}

namespace desktop {

// `at` is in Qt's global coordinates (the menu's top left).
void presentMenu(platform::Menu& menu, QPoint at);
// The menu being shown right now (the outermost one), or null.
QMenu* openMenu();
// Shows a menu built elsewhere (another program's) at `at` until it closes, as the open menu;
// returns the chosen action, if any.
QAction* execMenu(QMenu& menu, QPoint at);

} // namespace desktop
