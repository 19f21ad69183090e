#include "QuilletDesktop/AccountViewAdapters.h"

#include "CorvaneAccount/UI/GoogleGGlyph.h"
#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Quillet/Account/SignInWindowView.h"
#include "Quillet/Settings/SettingsView.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QKeySequence>
#include <QPalette>
#include <QUrl>
#include <QVariantMap>
#include <cstdlib>

namespace quilletdesktop {

using desktop::ColorScheme;
using desktop::decideColorScheme;
using desktop::DesktopAppearance;

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

QString color(const corvane::CorvaneColor& c) {
    return q(c.argbHex());
}

// A system symbol drawn in a view's own colour by the "quillet" image provider.
QString tintedSymbol(const std::string& name, const corvane::CorvaneColor& tint) {
    const std::string hex = tint.argbHex(); // "#AARRGGBB"
    return QStringLiteral("image://quillet/symbol/rgb-") + q(hex.substr(3)) + QLatin1Char('/') +
           QString::fromUtf8(QUrl::toPercentEncoding(q(name)));
}

// The desktop's colour scheme (QUILLET_COLOR_SCHEME, the portal, else the palette).
quillet::ColorScheme systemColorScheme() {
    auto* appearance = DesktopAppearance::current();
    const auto scheme =
        appearance ? appearance->scheme()
                   : decideColorScheme(std::nullopt, std::nullopt, QGuiApplication::palette());
    return scheme == ColorScheme::dark ? quillet::ColorScheme::dark : quillet::ColorScheme::light;
}

} // namespace

// --- the sign-in window ---

SignInWindowViewAdapter::SignInWindowViewAdapter(std::shared_ptr<quillet::SignInWindowView> model)
    : model_(model) {
    model->setColorScheme(systemColorScheme());
    changed_ = model->changed.connect([this] { emit modelChanged(); });
    // The window follows the desktop when its scheme changes while it is open.
    if (auto* appearance = DesktopAppearance::current())
        QObject::connect(appearance, &DesktopAppearance::changed, this, [this] {
            if (auto m = model_.lock())
                m->setColorScheme(systemColorScheme());
        });
}

SignInWindowViewAdapter::~SignInWindowViewAdapter() = default;

#define WITH_SCREEN(fallback)                                                                      \
    auto m = model_.lock();                                                                        \
    if (!m)                                                                                        \
        return fallback;                                                                           \
    const auto s = m->screen();

QString SignInWindowViewAdapter::appName() const {
    WITH_SCREEN({})
    return q(s.appName);
}
QString SignInWindowViewAdapter::valueProp() const {
    WITH_SCREEN({})
    return q(s.valueProp);
}
bool SignInWindowViewAdapter::dark() const {
    WITH_SCREEN(false)
    return s.style.isDark();
}
QString SignInWindowViewAdapter::phase() const {
    WITH_SCREEN(QStringLiteral("ready"))
    using Kind = corvane::CorvaneSignInScreen::Phase::Kind;
    switch (s.phase.kind) {
    case Kind::error:
        return QStringLiteral("error");
    case Kind::busy:
        return QStringLiteral("busy");
    case Kind::offline:
        return QStringLiteral("offline");
    case Kind::ready:
        break;
    }
    return QStringLiteral("ready");
}
QString SignInWindowViewAdapter::errorMessage() const {
    WITH_SCREEN({})
    return q(s.errorMessage().value_or(""));
}
QString SignInWindowViewAdapter::progressText() const {
    WITH_SCREEN({})
    return q(s.progressText().value_or(""));
}
bool SignInWindowViewAdapter::showsCancel() const {
    WITH_SCREEN(false)
    auto b = s.providerButtons();
    return b && b->showsCancelButton();
}
QVariantList SignInWindowViewAdapter::buttons() const {
    WITH_SCREEN({})
    QVariantList list;
    auto b = s.providerButtons();
    if (!b)
        return list;
    for (const auto& button : b->buttons()) {
        QVariantMap map;
        map[QStringLiteral("title")] = q(button.title);
        map[QStringLiteral("hint")] = static_cast<int>(button.hint);
        map[QStringLiteral("symbolSource")] =
            button.symbolName.empty() ? QString()
                                      : tintedSymbol(button.symbolName, button.foreground);
        map[QStringLiteral("google")] = button.drawsGoogleGlyph;
        map[QStringLiteral("background")] = color(button.background);
        map[QStringLiteral("foreground")] = color(button.foreground);
        map[QStringLiteral("border")] =
            button.border ? color(*button.border) : QStringLiteral("#00000000");
        map[QStringLiteral("enabled")] = button.isEnabled;
        map[QStringLiteral("opacity")] = button.opacity;
        list.append(map);
    }
    return list;
}
QString SignInWindowViewAdapter::errorColor() const {
    WITH_SCREEN({})
    return color(s.errorColor());
}
QString SignInWindowViewAdapter::backgroundColor() const {
    WITH_SCREEN({})
    return color(s.backgroundColor());
}
QString SignInWindowViewAdapter::textColor() const {
    WITH_SCREEN({})
    return color(s.textColor());
}
QString SignInWindowViewAdapter::privacyURL() const {
    WITH_SCREEN({})
    return q(s.privacyURL);
}
QString SignInWindowViewAdapter::termsURL() const {
    WITH_SCREEN({})
    return q(s.termsURL);
}
QString SignInWindowViewAdapter::offlineSymbolSource() const {
    WITH_SCREEN({})
    return tintedSymbol(corvane::CorvaneSignInScreen::offlineSymbol, s.textColor());
}

#undef WITH_SCREEN

QVariantList SignInWindowViewAdapter::googleArcs() const {
    QVariantList list;
    for (const auto& arc : corvane::GoogleGGlyph{}.arcs()) {
        QVariantMap map;
        map[QStringLiteral("start")] = arc.startDegrees;
        map[QStringLiteral("end")] = arc.endDegrees;
        map[QStringLiteral("color")] = color(arc.color);
        list.append(map);
    }
    return list;
}
QString SignInWindowViewAdapter::googleBarColor() const {
    return color(corvane::GoogleGGlyph{}.barColor());
}

void SignInWindowViewAdapter::tapProvider(int hint) {
    if (auto m = model_.lock())
        m->screen().tapProvider(static_cast<corvane::OAuthDriver::ProviderHint>(hint));
}
void SignInWindowViewAdapter::tapCancel() {
    if (auto m = model_.lock())
        m->screen().tapCancel();
}
void SignInWindowViewAdapter::tapRetry() {
    if (auto m = model_.lock())
        m->screen().tapRetry();
}
void SignInWindowViewAdapter::openLink(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}

// --- the settings window ---

SettingsViewAdapter::SettingsViewAdapter(std::shared_ptr<quillet::SettingsView> model)
    : model_(model) {
    changed_ = model->changed.connect([this] { emit modelChanged(); });
}

SettingsViewAdapter::~SettingsViewAdapter() = default;

QString SettingsViewAdapter::title() {
    return QString::fromUtf8(quillet::SettingsView::title);
}
QString SettingsViewAdapter::versionString() {
    return q(quillet::SettingsView::versionString());
}
QString SettingsViewAdapter::tagline() {
    return QString::fromUtf8(quillet::SettingsView::tagline);
}
QString SettingsViewAdapter::hintTitle() {
    return QString::fromUtf8(quillet::SettingsView::hintTitle);
}
QString SettingsViewAdapter::hintText() {
    return q(quillet::SettingsView::hintText());
}
QVariantList SettingsViewAdapter::autoRehideChoices() {
    QVariantList list;
    for (const auto& choice : quillet::SettingsView::autoRehideChoices()) {
        QVariantMap map;
        map[QStringLiteral("seconds")] = static_cast<qint64>(choice.seconds);
        map[QStringLiteral("label")] = q(choice.label);
        list.append(map);
    }
    return list;
}
bool SettingsViewAdapter::launchAtLogin() const {
    auto m = model_.lock();
    return m && m->launchAtLogin();
}
qint64 SettingsViewAdapter::autoRehideSeconds() const {
    auto m = model_.lock();
    return m ? static_cast<qint64>(m->autoRehideSeconds()) : 0;
}
bool SettingsViewAdapter::hoverPreviewEnabled() const {
    auto m = model_.lock();
    return m && m->hoverPreviewEnabled();
}
bool SettingsViewAdapter::signedIn() const {
    auto m = model_.lock();
    return m && m->signedInEmail().has_value();
}
QString SettingsViewAdapter::signedInEmail() const {
    auto m = model_.lock();
    return m ? q(m->signedInEmail().value_or("")) : QString();
}
QString SettingsViewAdapter::accountText() const {
    auto m = model_.lock();
    return m ? q(m->accountText()) : QString();
}
QString SettingsViewAdapter::accountButtonTitle() const {
    auto m = model_.lock();
    return m ? q(m->accountButtonTitle()) : QString();
}
bool SettingsViewAdapter::accountButtonBusy() const {
    auto m = model_.lock();
    return m && m->accountButtonIsBusy();
}
bool SettingsViewAdapter::canCheckForUpdates() const {
    auto m = model_.lock();
    return m && m->canCheckForUpdates();
}
bool SettingsViewAdapter::betaUpdates() const {
    auto m = model_.lock();
    return m && m->betaUpdates();
}

void SettingsViewAdapter::setLaunchAtLogin(bool on) {
    if (auto m = model_.lock())
        m->setLaunchAtLogin(on);
}
void SettingsViewAdapter::selectAutoRehide(qint64 seconds) {
    if (auto m = model_.lock())
        m->selectAutoRehide(seconds);
}
void SettingsViewAdapter::setHoverPreviewEnabled(bool on) {
    if (auto m = model_.lock())
        m->setHoverPreviewEnabled(on);
}
void SettingsViewAdapter::tapAccountButton() {
    if (auto m = model_.lock())
        m->tapAccountButton();
}
void SettingsViewAdapter::checkForUpdates() {
    if (auto m = model_.lock())
        m->checkForUpdates();
}
void SettingsViewAdapter::setBetaUpdates(bool on) {
    if (auto m = model_.lock())
        m->setBetaUpdates(on);
}

QString SettingsViewAdapter::alwaysHiddenSectionTitle() {
    return QString::fromUtf8(quillet::SettingsView::alwaysHiddenSectionTitle);
}
QString SettingsViewAdapter::alwaysHiddenTitle() {
    return QString::fromUtf8(quillet::SettingsView::alwaysHiddenTitle);
}
QString SettingsViewAdapter::toggleHotkeyTitle() {
    return QString::fromUtf8(quillet::SettingsView::toggleHotkeyTitle);
}
QString SettingsViewAdapter::alwaysHiddenHotkeyTitle() {
    return QString::fromUtf8(quillet::SettingsView::alwaysHiddenHotkeyTitle);
}
QString SettingsViewAdapter::recordHotkeyPrompt() {
    return QString::fromUtf8(quillet::SettingsView::recordHotkeyPrompt);
}
QString SettingsViewAdapter::noHotkeyText() {
    return QString::fromUtf8(quillet::SettingsView::noHotkeyText);
}
QString SettingsViewAdapter::clearHotkeyTitle() {
    return QString::fromUtf8(quillet::SettingsView::clearHotkeyTitle);
}

bool SettingsViewAdapter::alwaysHiddenEnabled() const {
    auto m = model_.lock();
    return m && m->alwaysHiddenEnabled();
}
QString SettingsViewAdapter::toggleHotkey() const {
    auto m = model_.lock();
    return m ? q(m->toggleHotkey()) : QString();
}
QString SettingsViewAdapter::alwaysHiddenHotkey() const {
    auto m = model_.lock();
    return m ? q(m->alwaysHiddenHotkey()) : QString();
}
QString SettingsViewAdapter::toggleHotkeyMessage() const {
    auto m = model_.lock();
    return m ? q(m->toggleHotkeyMessage()) : QString();
}
QString SettingsViewAdapter::alwaysHiddenHotkeyMessage() const {
    auto m = model_.lock();
    return m ? q(m->alwaysHiddenHotkeyMessage()) : QString();
}

QString SettingsViewAdapter::keySequenceText(int key, int modifiers) {
    switch (key) {
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_Shift:
    case Qt::Key_Meta:
    case Qt::Key_AltGr:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_unknown:
        return {};
    default:
        break;
    }
    const auto mods =
        Qt::KeyboardModifiers::fromInt(modifiers) &
        (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier);
    return QKeySequence(QKeyCombination(mods, static_cast<Qt::Key>(key)))
        .toString(QKeySequence::PortableText);
}

void SettingsViewAdapter::setAlwaysHiddenEnabled(bool on) {
    if (auto m = model_.lock())
        m->setAlwaysHiddenEnabled(on);
}
void SettingsViewAdapter::recordToggleHotkey(const QString& sequence) {
    if (auto m = model_.lock())
        m->recordToggleHotkey(sequence.toStdString());
}
void SettingsViewAdapter::recordAlwaysHiddenHotkey(const QString& sequence) {
    if (auto m = model_.lock())
        m->recordAlwaysHiddenHotkey(sequence.toStdString());
}
void SettingsViewAdapter::quit() {
    if (auto m = model_.lock())
        m->quit();
}

} // namespace quilletdesktop
