// Whether the session bus is there to ask, checked before the first connection to it. Desktop
// host only; any thread.
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>

namespace desktop {

// Without an address or the runtime directory's bus socket, connecting would let libdbus start
// a bus of its own through X11 autolaunch, which outlives the program.
inline bool sessionBusAvailable() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(QDir(runtime).filePath(QStringLiteral("bus"))).exists();
}

} // namespace desktop
