#include "Platform/Desktop/Services/PortalShortcuts.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QTimer>

#include <array>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

// One entry of BindShortcuts' a(sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
using PortalShortcutList = QList<PortalShortcut>;

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)
Q_DECLARE_METATYPE(PortalShortcutList)

namespace {

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

void registerTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<PortalShortcutList>();
        return true;
    }();
    (void)done;
}

// A results map as it arrives: a{sv} demarshalled from the argument.
QVariantMap resultsOf(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) {
        QVariantMap map;
        value.value<QDBusArgument>() >> map;
        return map;
    }
    return value.toMap();
}

QString pathOrString(const QVariant& value) {
    if (value.canConvert<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

} // namespace

namespace desktop {

std::optional<std::string> portalTrigger(const std::string& canonicalSequence) {
    std::string rest = canonicalSequence;
    std::string out;
    for (auto [name, portalName] : std::array<std::pair<const char*, const char*>, 4>{
             {{"Ctrl+", "CTRL+"}, {"Alt+", "ALT+"}, {"Shift+", "SHIFT+"}, {"Meta+", "LOGO+"}}}) {
        const std::string prefix = name;
        if (rest.size() > prefix.size() && rest.compare(0, prefix.size(), prefix) == 0) {
            out += portalName;
            rest = rest.substr(prefix.size());
        }
    }
    if (rest.size() == 1) {
        const char c = rest[0];
        if (c >= 'A' && c <= 'Z')
            return out + static_cast<char>(c - 'A' + 'a');
        if (c >= '0' && c <= '9')
            return out + c;
        static const std::map<char, const char*> punctuation{
            {' ', "space"},       {'+', "plus"},         {'-', "minus"},      {',', "comma"},
            {'.', "period"},      {'/', "slash"},        {';', "semicolon"},  {'=', "equal"},
            {'[', "bracketleft"}, {']', "bracketright"}, {'\\', "backslash"}, {'`', "grave"},
            {'\'', "apostrophe"}};
        auto it = punctuation.find(c);
        if (it == punctuation.end())
            return std::nullopt;
        return out + it->second;
    }
    if (rest.size() >= 2 && rest.size() <= 3 && rest[0] == 'F' &&
        rest.find_first_not_of("0123456789", 1) == std::string::npos)
        return out + rest;
    static const std::map<std::string, const char*> named{
        {"Space", "space"},      {"Esc", "Escape"},          {"Escape", "Escape"},
        {"Tab", "Tab"},          {"Backspace", "BackSpace"}, {"Return", "Return"},
        {"Enter", "KP_Enter"},   {"Ins", "Insert"},          {"Insert", "Insert"},
        {"Del", "Delete"},       {"Delete", "Delete"},       {"Home", "Home"},
        {"End", "End"},          {"Left", "Left"},           {"Up", "Up"},
        {"Right", "Right"},      {"Down", "Down"},           {"PgUp", "Page_Up"},
        {"PgDown", "Page_Down"}, {"Pause", "Pause"},         {"Print", "Print"}};
    auto it = named.find(rest);
    if (it == named.end())
        return std::nullopt;
    return out + it->second;
}

PortalShortcuts::PortalShortcuts(QDBusConnection bus,
                                 std::function<void(std::function<void()>)> post)
    : bus_(std::move(bus)), post_(std::move(post)) {
    registerTypes();
    bus_.connect(portalService, portalPath, shortcutsInterface, QStringLiteral("Activated"), this,
                 SLOT(activated(QDBusMessage)));
}

PortalShortcuts::~PortalShortcuts() {
    closeSession();
    bus_.disconnect(portalService, portalPath, shortcutsInterface, QStringLiteral("Activated"),
                    this, SLOT(activated(QDBusMessage)));
    for (const auto& [path, _] : pending_)
        bus_.disconnect(portalService, path, requestInterface, QStringLiteral("Response"), this,
                        SLOT(requestResponse(QDBusMessage)));
}

bool PortalShortcuts::available(const QDBusConnection& bus) {
    if (!bus.isConnected() || !bus.interface())
        return false;
    return bus.interface()->isServiceRegistered(portalService).value();
}

void PortalShortcuts::set(Token token, const std::string& trigger, const std::string& description,
                          std::function<void()> action) {
    shortcuts_[token] = {QString::fromStdString(trigger), QString::fromStdString(description),
                         std::move(action)};
    scheduleBind();
}

void PortalShortcuts::remove(Token token) {
    if (shortcuts_.erase(token) > 0)
        scheduleBind();
}

void PortalShortcuts::scheduleBind() {
    ++generation_;
    if (bindScheduled_)
        return;
    bindScheduled_ = true;
    // Once per turn, however many shortcuts changed in it.
    QTimer::singleShot(0, this, [this] {
        bindScheduled_ = false;
        bind();
    });
}

void PortalShortcuts::closeSession() {
    if (session_.isEmpty())
        return;
    bus_.asyncCall(
        QDBusMessage::createMethodCall(portalService, session_, sessionInterface, "Close"));
    session_.clear();
    bound_.clear();
}

void PortalShortcuts::bind() {
    closeSession();
    if (shortcuts_.empty())
        return;
    const auto generation = generation_;
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"),
                   QStringLiteral("quillet_session_%1").arg(++nextRequest_));
    request(
        QStringLiteral("CreateSession"), {}, options,
        [this, generation](std::optional<QVariantMap> results) {
            if (!results || generation != generation_)
                return; // refused, or the set changed meanwhile (a newer bind runs)
            session_ = pathOrString(results->value(QStringLiteral("session_handle")));
            if (session_.isEmpty())
                return;
            PortalShortcutList list;
            for (const auto& [token, shortcut] : shortcuts_) {
                QVariantMap properties;
                properties.insert(QStringLiteral("description"), shortcut.description);
                properties.insert(QStringLiteral("preferred_trigger"), shortcut.trigger);
                list.push_back({QStringLiteral("quillet-%1").arg(token), properties});
            }
            request(
                QStringLiteral("BindShortcuts"),
                {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(list),
                 QString()},
                {}, [this, generation](std::optional<QVariantMap> bound) {
                    if (!bound || generation != generation_)
                        return;
                    bound_.clear();
                    PortalShortcutList given;
                    const QVariant value = bound->value(QStringLiteral("shortcuts"));
                    if (value.canConvert<QDBusArgument>())
                        value.value<QDBusArgument>() >> given;
                    for (const auto& s : given)
                        bound_[s.id] =
                            s.properties.value(QStringLiteral("trigger_description")).toString();
                });
        });
}

void PortalShortcuts::request(const QString& method, QList<QVariant> arguments, QVariantMap options,
                              std::function<void(std::optional<QVariantMap>)> done) {
    // The request's object path follows from our unique name and the token, so the answer is
    // listened for before the call is made and cannot slip past.
    const QString token = QStringLiteral("quillet_%1").arg(++nextRequest_);
    QString sender = bus_.baseService();
    sender.remove(0, 1).replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path =
        portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    options.insert(QStringLiteral("handle_token"), token);
    bus_.connect(portalService, path, requestInterface, QStringLiteral("Response"), this,
                 SLOT(requestResponse(QDBusMessage)));
    pending_[path] = std::move(done);

    auto call =
        QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, method);
    arguments.push_back(options);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this, path](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         if (!w->isError())
                             return; // the Response signal follows
                         auto it = pending_.find(path);
                         if (it == pending_.end())
                             return;
                         auto callback = std::move(it->second);
                         pending_.erase(it);
                         bus_.disconnect(portalService, path, requestInterface,
                                         QStringLiteral("Response"), this,
                                         SLOT(requestResponse(QDBusMessage)));
                         callback(std::nullopt);
                     });
}

void PortalShortcuts::requestResponse(const QDBusMessage& message) {
    auto it = pending_.find(message.path());
    if (it == pending_.end())
        return;
    auto callback = std::move(it->second);
    pending_.erase(it);
    bus_.disconnect(portalService, message.path(), requestInterface, QStringLiteral("Response"),
                    this, SLOT(requestResponse(QDBusMessage)));
    const auto args = message.arguments();
    // 0: success; 1: the user cancelled; 2: ended otherwise.
    if (args.size() < 2 || args[0].toUInt() != 0) {
        callback(std::nullopt);
        return;
    }
    callback(resultsOf(args[1]));
}

void PortalShortcuts::activated(const QDBusMessage& message) {
    const auto args = message.arguments();
    if (args.size() < 2 || session_.isEmpty() || pathOrString(args[0]) != session_)
        return;
    const QString id = args[1].toString();
    for (const auto& [token, shortcut] : shortcuts_)
        if (id == QStringLiteral("quillet-%1").arg(token)) {
            ++activations_;
            if (post_)
                post_(shortcut.action);
            return;
        }
}

} // namespace desktop
