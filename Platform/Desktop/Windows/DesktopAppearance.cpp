#include "Platform/Desktop/Windows/DesktopAppearance.h"

#include "Platform/Desktop/Services/SessionBus.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <cstdlib>

namespace desktop {

namespace {

DesktopAppearance* currentAppearance = nullptr;

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceNamespace = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

} // namespace

std::optional<ColorScheme> colorSchemeOverride(std::string_view value) {
    if (value == "dark")
        return ColorScheme::dark;
    if (value == "light")
        return ColorScheme::light;
    return std::nullopt;
}

ColorScheme colorSchemeOfPalette(const QPalette& palette) {
    return palette.color(QPalette::Active, QPalette::Window).lightness() < 128 ? ColorScheme::dark
                                                                               : ColorScheme::light;
}

std::optional<ColorScheme> colorSchemeOfPortalValue(const QVariant& value) {
    QVariant v = value;
    // Read answers a variant inside a variant; SettingChanged and ReadOne one variant. A few
    // levels at most: anything deeper is not the setting.
    for (int depth = 0; depth < 4 && v.metaType() == QMetaType::fromType<QDBusVariant>(); ++depth)
        v = qvariant_cast<QDBusVariant>(v).variant();
    if (v.metaType() == QMetaType::fromType<QDBusArgument>())
        return std::nullopt;
    bool ok = false;
    const uint number = v.toUInt(&ok);
    if (!ok || v.metaType() == QMetaType::fromType<QString>())
        return std::nullopt;
    if (number == 1)
        return ColorScheme::dark;
    if (number == 2)
        return ColorScheme::light;
    return std::nullopt;
}

ColorScheme decideColorScheme(std::optional<ColorScheme> forced, std::optional<ColorScheme> portal,
                              const QPalette& palette) {
    if (forced)
        return *forced;
    if (portal)
        return *portal;
    return colorSchemeOfPalette(palette);
}

StripColors stripColors(ColorScheme scheme) {
    if (scheme == ColorScheme::dark)
        return {QColor(30, 30, 32, 214), QColor(255, 255, 255, 235), QColor(255, 255, 255, 56)};
    return {QColor(246, 246, 248, 214), QColor(0, 0, 0, 217), QColor(0, 0, 0, 38)};
}

QPalette menuPalette(ColorScheme scheme) {
    const bool dark = scheme == ColorScheme::dark;
    const QColor window = dark ? QColor(40, 40, 42) : QColor(246, 246, 248);
    const QColor text = dark ? QColor(242, 242, 247) : QColor(28, 28, 30);
    const QColor disabled = dark ? QColor(120, 120, 126) : QColor(160, 160, 166);
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, dark ? QColor(30, 30, 32) : QColor(255, 255, 255));
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::BrightText, dark ? QColor(255, 255, 255) : QColor(0, 0, 0));
    p.setColor(QPalette::Button, dark ? QColor(58, 58, 60) : QColor(232, 232, 236));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Light, dark ? QColor(72, 72, 74) : QColor(255, 255, 255));
    p.setColor(QPalette::Midlight, dark ? QColor(64, 64, 66) : QColor(236, 236, 240));
    p.setColor(QPalette::Mid, dark ? QColor(56, 56, 58) : QColor(200, 200, 204));
    p.setColor(QPalette::Dark, dark ? QColor(20, 20, 22) : QColor(180, 180, 184));
    p.setColor(QPalette::Shadow, dark ? QColor(0, 0, 0) : QColor(120, 120, 124));
    p.setColor(QPalette::Highlight, dark ? QColor(10, 132, 255) : QColor(0, 122, 255));
    p.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
    p.setColor(QPalette::ToolTipBase, window);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, disabled);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    return p;
}

// --- the application's appearance ---

DesktopAppearance::DesktopAppearance() {
    if (const char* forced = std::getenv("QUILLET_COLOR_SCHEME"))
        forced_ = colorSchemeOverride(forced);
    scheme_ = decideColorScheme(forced_, portal_, QGuiApplication::palette());
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
    if (!forced_)
        askPortal();
    currentAppearance = this;
}

DesktopAppearance::~DesktopAppearance() {
    if (currentAppearance == this)
        currentAppearance = nullptr;
}

DesktopAppearance* DesktopAppearance::current() {
    return currentAppearance;
}

void DesktopAppearance::askPortal() {
    if (!sessionBusAvailable())
        return;
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    // The slot is found by its signature's type names: QDBusVariant has to be known by name
    // before anything else of QtDBus happened to register it.
    qRegisterMetaType<QDBusVariant>();
    bus.connect(portalService, portalPath, portalSettings, QStringLiteral("SettingChanged"), this,
                SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
    // Asked without waiting: the palette decides until the answer comes, and for good when no
    // portal answers.
    auto call = QDBusMessage::createMethodCall(portalService, portalPath, portalSettings,
                                               QStringLiteral("Read"));
    call << appearanceNamespace << colorSchemeKey;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusMessage reply = w->reply();
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
                return;
            portal_ = colorSchemeOfPortalValue(reply.arguments().constFirst());
            decide();
        });
}

void DesktopAppearance::portalSettingChanged(const QString& ns, const QString& key,
                                             const QDBusVariant& value) {
    if (ns != appearanceNamespace || key != colorSchemeKey)
        return;
    portal_ = colorSchemeOfPortalValue(QVariant::fromValue(value));
    decide();
}

bool DesktopAppearance::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() &&
        event->type() == QEvent::ApplicationPaletteChange)
        decide();
    return QObject::eventFilter(watched, event);
}

void DesktopAppearance::decide() {
    const auto scheme = decideColorScheme(forced_, portal_, QGuiApplication::palette());
    if (scheme == scheme_)
        return;
    scheme_ = scheme;
    emit changed();
}

// --- the views' colours ---

QColor DesktopAppearance::windowBackground() const {
    return dark() ? QColor(0x28, 0x28, 0x2A) : QColor(0xEC, 0xEC, 0xEE);
}
QColor DesktopAppearance::material() const {
    const auto strip = this->strip().background;
    return QColor(strip.red(), strip.green(), strip.blue(), dark() ? 209 : 217);
}
QColor DesktopAppearance::label() const {
    return dark() ? QColor(0xF2, 0xF2, 0xF7) : QColor(0x1C, 0x1C, 0x1E);
}
QColor DesktopAppearance::secondaryLabel() const {
    return dark() ? QColor(235, 235, 245, 153) : QColor(60, 60, 67, 153);
}
QColor DesktopAppearance::fill() const {
    return dark() ? QColor(255, 255, 255, 15) : QColor(0, 0, 0, 10);
}
QColor DesktopAppearance::separator() const {
    return dark() ? QColor(255, 255, 255, 31) : QColor(0, 0, 0, 26);
}
QColor DesktopAppearance::control() const {
    return dark() ? QColor(0x3A, 0x3A, 0x3C) : QColor(0xFF, 0xFF, 0xFF);
}
QColor DesktopAppearance::controlOff() const {
    return dark() ? QColor(0x48, 0x48, 0x4A) : QColor(0xD1, 0xD1, 0xD6);
}
QColor DesktopAppearance::base() const {
    return dark() ? QColor(0x1E, 0x1E, 0x20) : QColor(0xFF, 0xFF, 0xFF);
}
QColor DesktopAppearance::highlightTint() const {
    return dark() ? QColor(255, 255, 255) : QColor(0, 0, 0);
}

} // namespace desktop
