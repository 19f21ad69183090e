// Renders the windows' view models with QML: the program registers, per view model type, its
// QML file and the adapter that feeds it as the required property `view`. One QML engine for the
// application, made when the first view is shown. Main thread only.
#pragma once

#include "Platform/Geometry.h"

#include <QImage>
#include <QPointer>
#include <QQuickWidget>
#include <functional>
#include <memory>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

class QQmlEngine;
class QQuickItem;

namespace platform {
class ViewModel;
struct Image;
} // namespace platform

namespace desktop {

class DesktopAppearance;

// The source QML shows for an image of the host: a system symbol, a badge or a tray item's icon
// through the host's "quillet" image provider, a file by its URL. Empty when there is nothing
// to draw.
QString imageSource(const platform::Image& image);
// The image the views are given for an "image://quillet/..." source, `pixels` square; null for
// any other source.
QImage hostImage(const QString& source, int pixels);
// A system symbol through the image provider, tinted "primary" or "secondary" (label colours).
QString symbolImageSource(const std::string& name, const char* style);

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

// How the desktop draws one type of view model: the QML file (a resource path such as
// ":/qml/SettingsView.qml") and the adapter that turns the model into Qt properties.
struct ViewRegistration {
    QString qmlFile;
    std::function<std::unique_ptr<QObject>(const std::shared_ptr<platform::ViewModel>&)>
        makeAdapter;
};

class DesktopViews {
public:
    // Draws every model whose type is exactly `Model` with `qmlFile`, fed by an `Adapter` made
    // from the model (`Adapter(std::shared_ptr<Model>)`). A later registration of the same type
    // replaces the earlier one.
    template <class Model, class Adapter> static void registerView(QString qmlFile) {
        registerView(
            typeid(Model),
            ViewRegistration{
                std::move(qmlFile),
                [](const std::shared_ptr<platform::ViewModel>& model) -> std::unique_ptr<QObject> {
                    // The registry matched the model's exact type.
                    return std::make_unique<Adapter>(std::static_pointer_cast<Model>(model));
                }});
    }
    static void registerView(std::type_index type, ViewRegistration registration);
    // The registration for this model's own type; null when it has none.
    static const ViewRegistration* registration(const platform::ViewModel& model);

    // `report` receives errors of loading a view (a broken QML file is a program fault).
    explicit DesktopViews(std::function<void(const std::string&)> report);
    ~DesktopViews();
    DesktopViews(const DesktopViews&) = delete;
    DesktopViews& operator=(const DesktopViews&) = delete;

    // Whether a view of this model's kind can be drawn (it is registered and its QML exists).
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
