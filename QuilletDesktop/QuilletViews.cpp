#include "QuilletDesktop/QuilletViews.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/Desktop/Windows/DesktopWindow.h"
#include "Platform/UserDefaults.h"
#include "Quillet/Account/SignInWindowView.h"
#include "Quillet/MenuBar/MenuBarManager.h"
#include "Quillet/Settings/SettingsView.h"
#include "Quillet/Views/QuilletBarView.h"
#include "QuilletDesktop/AccountViewAdapters.h"
#include "QuilletDesktop/QuilletBarViewAdapter.h"

#include <QQuickItem>
#include <nlohmann/json.hpp>

namespace quilletdesktop {

namespace {

// The hidden-items panel as it is on screen: its window, and the icons its scene draws.
nlohmann::json panelJSON(const desktop::DesktopApplication& application) {
    for (const auto& w : application.windows()) {
        auto content = w->contentView();
        if (!content || !std::dynamic_pointer_cast<quillet::QuilletBarHostingView>(content))
            continue;
        auto* window = dynamic_cast<desktop::DesktopWindow*>(w.get());
        if (!window)
            continue;
        nlohmann::json panel;
        panel["visible"] = window->isVisible();
        panel["frame"] = desktop::statusFrameJSON(window->frame());
        panel["windowNumber"] = window->windowNumber();
        // The window system's id of the panel, once it has been shown.
        if (window->widget()->testAttribute(Qt::WA_WState_Created))
            panel["nativeWindow"] = static_cast<std::uint64_t>(window->widget()->winId());
        else
            panel["nativeWindow"] = nullptr;
        auto icons = nlohmann::json::array();
        bool empty = false;
        if (auto* scene = window->scene()) {
            for (auto* cell : scene->itemsNamed(QStringLiteral("hiddenItemCell"))) {
                const QRectF inScene =
                    cell->mapRectToScene(QRectF(0, 0, cell->width(), cell->height()));
                const QRect global(scene->mapToGlobal(inScene.topLeft().toPoint()),
                                   inScene.size().toSize());
                icons.push_back({{"frame", desktop::statusFrameJSON(global)},
                                 {"toolTip", cell->property("toolTip").toString().toStdString()},
                                 {"source", cell->property("iconSource").toString().toStdString()},
                                 {"placeholder", cell->property("showsPlaceholder").toBool()}});
            }
            for (auto* text : scene->itemsNamed(QStringLiteral("emptyText")))
                empty = empty || text->isVisible();
        }
        panel["searchText"] = nullptr;
        if (auto hosting = std::dynamic_pointer_cast<quillet::QuilletBarHostingView>(content))
            panel["searchText"] = hosting->searchText();
        panel["items"] = icons.size();
        panel["icons"] = std::move(icons);
        panel["empty"] = empty;
        if (auto ms = window->lastShowToPaintMs())
            panel["showToPaintMs"] = *ms;
        else
            panel["showToPaintMs"] = nullptr;
        return panel;
    }
    return nullptr;
}

// The always-hidden section as the strip shows it: whether it is switched on, its separator,
// and the items beyond it (which stay off the screen until it is shown).
nlohmann::json alwaysHiddenJSON(desktop::DesktopHost& host) {
    using quillet::MenuBarManager;
    nlohmann::json out;
    out["enabled"] = host.userDefaults().boolForKey(MenuBarManager::alwaysHiddenEnabledKey);
    out["separator"] = nullptr;
    auto items = nlohmann::json::array();
    const auto states = host.desktopStatusBar().itemStates();
    const bool rightToLeft =
        host.application().userInterfaceLayoutDirection() == platform::LayoutDirection::rightToLeft;
    for (const auto& s : states) {
        if (!s.own || s.autosaveName != MenuBarManager::alwaysHiddenAutosaveName)
            continue;
        out["separator"] = {{"frame", desktop::statusFrameJSON(s.frame)},
                            {"shown", s.frame.width() <= MenuBarManager::expandedSeparatorLength}};
        for (const auto& other : states) {
            if (other.own)
                continue;
            const double centre = other.frame.midX();
            if (rightToLeft ? centre > s.frame.maxX() : centre < s.frame.minX())
                items.push_back(other.autosaveName);
        }
    }
    out["items"] = std::move(items);
    return out;
}

nlohmann::json hotkeysJSON(desktop::DesktopHost& host) {
    auto text = [&](const char* key) -> nlohmann::json {
        auto value = host.userDefaults().object(key);
        auto* s = value ? value->asString() : nullptr;
        return s && !s->empty() ? nlohmann::json(*s) : nlohmann::json();
    };
    return {{"toggle", text(quillet::MenuBarManager::toggleHotkeyKey)},
            {"alwaysHidden", text(quillet::MenuBarManager::alwaysHiddenHotkeyKey)}};
}

} // namespace

void registerQuilletViews() {
    using desktop::DesktopViews;
    DesktopViews::registerView<quillet::QuilletBarHostingView, QuilletBarViewAdapter>(
        QStringLiteral(":/qml/QuilletBarView.qml"));
    DesktopViews::registerView<quillet::SettingsView, SettingsViewAdapter>(
        QStringLiteral(":/qml/SettingsView.qml"));
    DesktopViews::registerView<quillet::SignInWindowView, SignInWindowViewAdapter>(
        QStringLiteral(":/qml/SignInWindowView.qml"));
}

void addQuilletStatus(desktop::DesktopHost& host) {
    host.addStatusSection("collapsed", [&host] {
        return host.userDefaults().boolForKey(quillet::MenuBarManager::isCollapsedKey);
    });
    host.addStatusSection("panel", [&host] { return panelJSON(host.desktopApplication()); });
    host.addStatusSection("alwaysHidden", [&host] { return alwaysHiddenJSON(host); });
    host.addStatusSection("hotkeys", [&host] { return hotkeysJSON(host); });
}

} // namespace quilletdesktop
