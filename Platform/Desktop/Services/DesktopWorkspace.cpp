#include "Platform/Desktop/Services/DesktopWorkspace.h"

#include "Platform/Desktop/Services/SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <algorithm>

namespace desktop {

std::vector<std::shared_ptr<platform::RunningApplication>>
DesktopWorkspace::runningApplications(const std::string& bundleIdentifier) const {
    std::vector<std::shared_ptr<platform::RunningApplication>> out;
    for (auto& app : apps_)
        if (app->bundleIdentifier() == bundleIdentifier)
            out.push_back(app);
    return out;
}

std::shared_ptr<platform::RunningApplication>
DesktopWorkspace::runningApplication(std::int32_t pid) const {
    for (auto& app : apps_)
        if (app->processIdentifier() == pid)
            return app;
    return nullptr;
}

void DesktopWorkspace::setCurrent(std::shared_ptr<platform::RunningApplication> app) {
    current_ = app;
    add(std::move(app));
}

void DesktopWorkspace::add(std::shared_ptr<platform::RunningApplication> app) {
    if (std::find(apps_.begin(), apps_.end(), app) == apps_.end())
        apps_.push_back(std::move(app));
}

void DesktopWorkspace::remove(const std::shared_ptr<platform::RunningApplication>& app) {
    if (app != current_)
        std::erase(apps_, app);
}

std::string DesktopWorkspace::fallbackFolder(const std::vector<std::string>& paths) {
    if (paths.empty())
        return {};
    QFileInfo info(QString::fromStdString(paths.front()));
    return info.absolutePath().toStdString();
}

void DesktopWorkspace::activateFileViewerSelecting(const std::vector<std::string>& paths) {
    if (paths.empty())
        return;
    const QString folder = QString::fromStdString(fallbackFolder(paths));
    auto openFolder = [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); };

    if (!sessionBusAvailable()) {
        openFolder();
        return;
    }
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder();
        return;
    }
    QStringList uris;
    for (auto& p : paths)
        uris << QUrl::fromLocalFile(QFileInfo(QString::fromStdString(p)).absoluteFilePath())
                    .toString(QUrl::FullyEncoded);
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                  QStringLiteral("/org/freedesktop/FileManager1"),
                                                  QStringLiteral("org.freedesktop.FileManager1"),
                                                  QStringLiteral("ShowItems"));
    message << uris << QString();
    // Asynchronous: a missing file manager answers with an error, and the folder opens instead.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [openFolder](QDBusPendingCallWatcher* w) {
                         if (w->isError())
                             openFolder();
                         w->deleteLater();
                     });
}

} // namespace desktop
