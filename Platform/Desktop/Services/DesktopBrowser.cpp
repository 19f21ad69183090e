#include "Platform/Desktop/Services/DesktopBrowser.h"

#include <QDesktopServices>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QUrl>

namespace desktop {

bool DesktopBrowser::openURL(const std::string& url) {
    const QString target = QString::fromStdString(url);
    const QString browsers =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("BROWSER"));
    // $BROWSER is a colon-separated list of commands; the URL is their one argument.
    for (const QString& command : browsers.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        QStringList parts = QProcess::splitCommand(command);
        if (parts.isEmpty())
            continue;
        const QString program = parts.takeFirst();
        parts << target;
        if (QProcess::startDetached(program, parts))
            return true;
    }
    return QDesktopServices::openUrl(QUrl(target));
}

} // namespace desktop
