// What SignInWindowView.qml and SettingsView.qml read: the sign-in window's and the settings
// window's view models as Qt properties, re-read when the model changes (one notify signal);
// the QML's taps go back to the model. Main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <boost/signals2/connection.hpp>
#include <memory>

namespace platform {
class ViewModel;
}
namespace quillet {
class SignInWindowView;
class SettingsView;
} // namespace quillet

namespace quilletdesktop {

class SignInWindowViewAdapter final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString appName READ appName NOTIFY modelChanged)
    Q_PROPERTY(QString valueProp READ valueProp NOTIFY modelChanged)
    Q_PROPERTY(bool dark READ dark NOTIFY modelChanged)
    // "ready", "busy", "error" or "offline".
    Q_PROPERTY(QString phase READ phase NOTIFY modelChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY modelChanged)
    Q_PROPERTY(QString progressText READ progressText NOTIFY modelChanged)
    Q_PROPERTY(bool showsCancel READ showsCancel NOTIFY modelChanged)
    // One map per provider button: title, hint, symbolSource, google, background,
    // foreground, border, enabled, opacity.
    Q_PROPERTY(QVariantList buttons READ buttons NOTIFY modelChanged)
    Q_PROPERTY(QString errorColor READ errorColor NOTIFY modelChanged)
    Q_PROPERTY(QString backgroundColor READ backgroundColor NOTIFY modelChanged)
    Q_PROPERTY(QString textColor READ textColor NOTIFY modelChanged)
    Q_PROPERTY(QString privacyURL READ privacyURL NOTIFY modelChanged)
    Q_PROPERTY(QString termsURL READ termsURL NOTIFY modelChanged)
    Q_PROPERTY(QString offlineSymbolSource READ offlineSymbolSource NOTIFY modelChanged)
    // The Google mark: arcs (start, end in degrees, colour), the bar's colour.
    Q_PROPERTY(QVariantList googleArcs READ googleArcs CONSTANT)
    Q_PROPERTY(QString googleBarColor READ googleBarColor CONSTANT)

public:
    explicit SignInWindowViewAdapter(std::shared_ptr<quillet::SignInWindowView> model);
    ~SignInWindowViewAdapter() override;

    QString appName() const;
    QString valueProp() const;
    bool dark() const;
    QString phase() const;
    QString errorMessage() const;
    QString progressText() const;
    bool showsCancel() const;
    QVariantList buttons() const;
    QString errorColor() const;
    QString backgroundColor() const;
    QString textColor() const;
    QString privacyURL() const;
    QString termsURL() const;
    QString offlineSymbolSource() const;
    QVariantList googleArcs() const;
    QString googleBarColor() const;

    Q_INVOKABLE void tapProvider(int hint);
    Q_INVOKABLE void tapCancel();
    Q_INVOKABLE void tapRetry();
    Q_INVOKABLE void openLink(const QString& url);

signals:
    void modelChanged();

private:
    std::weak_ptr<quillet::SignInWindowView> model_;
    boost::signals2::scoped_connection changed_;
};

class SettingsViewAdapter final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(QString versionString READ versionString CONSTANT)
    Q_PROPERTY(QString tagline READ tagline CONSTANT)
    Q_PROPERTY(QString hintTitle READ hintTitle CONSTANT)
    Q_PROPERTY(QString hintText READ hintText CONSTANT)
    // One map per choice: seconds, label.
    Q_PROPERTY(QVariantList autoRehideChoices READ autoRehideChoices CONSTANT)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY modelChanged)
    Q_PROPERTY(qint64 autoRehideSeconds READ autoRehideSeconds NOTIFY modelChanged)
    Q_PROPERTY(bool hoverPreviewEnabled READ hoverPreviewEnabled NOTIFY modelChanged)
    Q_PROPERTY(bool signedIn READ signedIn NOTIFY modelChanged)
    Q_PROPERTY(QString signedInEmail READ signedInEmail NOTIFY modelChanged)
    Q_PROPERTY(QString accountText READ accountText NOTIFY modelChanged)
    Q_PROPERTY(QString accountButtonTitle READ accountButtonTitle NOTIFY modelChanged)
    // While a sign-out runs: the button shows busy and takes no presses.
    Q_PROPERTY(bool accountButtonBusy READ accountButtonBusy NOTIFY modelChanged)
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY modelChanged)
    Q_PROPERTY(bool betaUpdates READ betaUpdates NOTIFY modelChanged)
    // The section "Always hidden and hotkeys".
    Q_PROPERTY(QString alwaysHiddenSectionTitle READ alwaysHiddenSectionTitle CONSTANT)
    Q_PROPERTY(QString alwaysHiddenTitle READ alwaysHiddenTitle CONSTANT)
    Q_PROPERTY(QString toggleHotkeyTitle READ toggleHotkeyTitle CONSTANT)
    Q_PROPERTY(QString alwaysHiddenHotkeyTitle READ alwaysHiddenHotkeyTitle CONSTANT)
    Q_PROPERTY(QString recordHotkeyPrompt READ recordHotkeyPrompt CONSTANT)
    Q_PROPERTY(QString noHotkeyText READ noHotkeyText CONSTANT)
    Q_PROPERTY(QString clearHotkeyTitle READ clearHotkeyTitle CONSTANT)
    Q_PROPERTY(bool alwaysHiddenEnabled READ alwaysHiddenEnabled NOTIFY modelChanged)
    Q_PROPERTY(QString toggleHotkey READ toggleHotkey NOTIFY modelChanged)
    Q_PROPERTY(QString alwaysHiddenHotkey READ alwaysHiddenHotkey NOTIFY modelChanged)
    Q_PROPERTY(QString toggleHotkeyMessage READ toggleHotkeyMessage NOTIFY modelChanged)
    Q_PROPERTY(QString alwaysHiddenHotkeyMessage READ alwaysHiddenHotkeyMessage NOTIFY modelChanged)

public:
    explicit SettingsViewAdapter(std::shared_ptr<quillet::SettingsView> model);
    ~SettingsViewAdapter() override;

    static QString title();
    static QString versionString();
    static QString tagline();
    static QString hintTitle();
    static QString hintText();
    static QVariantList autoRehideChoices();
    bool launchAtLogin() const;
    qint64 autoRehideSeconds() const;
    bool hoverPreviewEnabled() const;
    bool signedIn() const;
    QString signedInEmail() const;
    QString accountText() const;
    QString accountButtonTitle() const;
    bool accountButtonBusy() const;
    bool canCheckForUpdates() const;
    bool betaUpdates() const;

    static QString alwaysHiddenSectionTitle();
    static QString alwaysHiddenTitle();
    static QString toggleHotkeyTitle();
    static QString alwaysHiddenHotkeyTitle();
    static QString recordHotkeyPrompt();
    static QString noHotkeyText();
    static QString clearHotkeyTitle();
    bool alwaysHiddenEnabled() const;
    QString toggleHotkey() const;
    QString alwaysHiddenHotkey() const;
    QString toggleHotkeyMessage() const;
    QString alwaysHiddenHotkeyMessage() const;
    // Qt's portable text of a key pressed with modifiers ("Ctrl+Alt+H"); empty for a modifier
    // pressed alone.
    Q_INVOKABLE static QString keySequenceText(int key, int modifiers);
    Q_INVOKABLE void setAlwaysHiddenEnabled(bool on);
    Q_INVOKABLE void recordToggleHotkey(const QString& sequence);
    Q_INVOKABLE void recordAlwaysHiddenHotkey(const QString& sequence);

    Q_INVOKABLE void setLaunchAtLogin(bool on);
    Q_INVOKABLE void selectAutoRehide(qint64 seconds);
    Q_INVOKABLE void setHoverPreviewEnabled(bool on);
    Q_INVOKABLE void tapAccountButton();
    Q_INVOKABLE void checkForUpdates();
    Q_INVOKABLE void setBetaUpdates(bool on);
    Q_INVOKABLE void quit();

signals:
    void modelChanged();

private:
    std::weak_ptr<quillet::SettingsView> model_;
    boost::signals2::scoped_connection changed_;
};

} // namespace quilletdesktop
