// Renders the windows' view models with QML: the file qml/<viewName>.qml, fed by the view's
// desktop adapter as the required property `view`. One QML engine for the application, made
// when the first view is shown. Main thread only.
#pragma once

#include "Platform/Geometry.h"

#include <QPointer>
#include <QQuickWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QQmlEngine;
class QQuickItem;

namespace platform {
class ViewModel;
}

namespace desktop {

class DesktopAppearance;

// A view's QML scene inside its window: shows an item's `toolTip` property as a tooltip, and
// says once when it has painted.
class ViewQuickWidget final : public QQuickWidget {
public:
    ViewQuickWidget(QQmlEngine* engine, QWidget* parent);
    // Calls `painted` once, after the first paint that shows a frame rendered from now on.
    void reportNextPaint(std::function<void()> painted);
    // The items of the scene named `objectName`, in the scene's order.
    std::vector<QQuickItem*> itemsNamed(const QString& objectName) const;
    // The tooltip of the topmost item at `pos` (widget coordinates) that has one.
    QString toolTipAt(QPointF pos) const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<void()> onPainted_;
    bool renderedSinceReport_ = false;
};

class DesktopViews {
public:
    // `report` receives errors of loading a view (a broken QML file is a program fault).
    explicit DesktopViews(std::function<void(const std::string&)> report);
    ~DesktopViews();
    DesktopViews(const DesktopViews&) = delete;
    DesktopViews& operator=(const DesktopViews&) = delete;

    // The QML file that draws a view of this name; empty when there is none.
    static QString qmlFile(const std::string& viewName);
    // Whether a view of this model's kind can be drawn (an adapter and a QML file exist).
    static bool canRender(const platform::ViewModel& model);

    // Makes the QML scene for `model` as a child of `container`, filling it; creates the
    // engine on first use. Null when the model has no view here or its QML fails to load.
    ViewQuickWidget* makeView(const std::shared_ptr<platform::ViewModel>& model,
                              QWidget* container);
    bool hasEngine() const { return engine_ != nullptr; }

private:
    QQmlEngine& engine();

    std::function<void(const std::string&)> report_;
    // Only when no host's appearance exists; before the engine, which goes first.
    std::unique_ptr<DesktopAppearance> ownAppearance_;
    std::unique_ptr<QQmlEngine> engine_;
    std::vector<QPointer<ViewQuickWidget>> views_;
};

} // namespace desktop
