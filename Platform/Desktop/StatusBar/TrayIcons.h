// The current icons of the tray items, by the number in their image's resource name
// ("tray:<number>/<version>"), for the hidden-items panel's image source. Set and removed on the
// main thread; read from any thread.
#pragma once

#include <QImage>
#include <QString>

namespace desktop::trayicons {

void set(int number, const QImage& image);
void remove(int number);
QImage get(int number);

} // namespace desktop::trayicons
