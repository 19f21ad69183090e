#include "Platform/Desktop/Windows/WindowStatus.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/Desktop/Windows/DesktopWindow.h"

#include <QAccessible>
#include <QQuickItem>
#include <QQuickWidget>

namespace desktop {

namespace {

// The item's `Accessible` attached object, when its QML sets one.
QObject* accessibleAttached(QQuickItem* item) {
    for (auto* child : item->children())
        if (child->inherits("QQuickAccessibleAttached"))
            return child;
    return nullptr;
}

const char* roleName(QAccessible::Role role) {
    switch (role) {
    case QAccessible::Button:
        return "push button";
    case QAccessible::CheckBox:
        return "check box";
    case QAccessible::ComboBox:
        return "combo box";
    case QAccessible::Link:
        return "link";
    case QAccessible::RadioButton:
        return "radio button";
    case QAccessible::StaticText:
        return "label";
    default:
        return nullptr;
    }
}

// The role a screen reader gets: the one the QML gives, else the control's own.
const char* controlRole(QQuickItem* item, QObject* attached) {
    if (attached)
        if (const char* name =
                roleName(static_cast<QAccessible::Role>(attached->property("role").toInt())))
            return name;
    if (item->inherits("QQuickComboBox"))
        return "combo box";
    if (item->inherits("QQuickCheckBox") || item->inherits("QQuickSwitch"))
        return "check box";
    if (item->inherits("QQuickAbstractButton"))
        return "push button";
    return nullptr;
}

void collectControls(QQuickItem* item, const QQuickWidget& scene, nlohmann::json& out) {
    if (!item || !item->isVisible())
        return;
    auto* attached = accessibleAttached(item);
    if (attached && attached->property("ignored").toBool())
        return;
    if (const char* role = controlRole(item, attached)) {
        QString name = attached ? attached->property("name").toString() : QString();
        if (name.isEmpty())
            name = item->property("text").toString();
        const QRectF inScene = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
        QRect global = inScene.toAlignedRect();
        global.moveTopLeft(scene.mapToGlobal(global.topLeft()));
        out.push_back({{"name", name.toStdString()},
                       {"role", role},
                       {"frame", statusFrameJSON(global)},
                       {"enabled", item->isEnabled()},
                       {"focused", item->hasActiveFocus()}});
        return; // a control's insides are not controls of their own
    }
    for (auto* child : item->childItems())
        collectControls(child, scene, out);
}

} // namespace

nlohmann::json controlsJSON(const QQuickWidget& scene) {
    auto out = nlohmann::json::array();
    collectControls(scene.rootObject(), scene, out);
    return out;
}

nlohmann::json windowStatusJSON(const DesktopWindow& window) {
    auto* widget = window.widget();
    nlohmann::json doc;
    doc["windowNumber"] = window.windowNumber();
    doc["title"] = widget->windowTitle().toStdString();
    doc["frame"] = statusFrameJSON(window.frame());
    doc["visible"] = window.isVisible();
    doc["key"] = window.isKeyWindow();
    doc["panel"] = window.isPanel();
    doc["fixedSize"] = widget->minimumSize() == widget->maximumSize();
    auto* scene = window.scene();
    doc["controls"] = scene ? controlsJSON(*scene) : nlohmann::json::array();
    return doc;
}

} // namespace desktop
