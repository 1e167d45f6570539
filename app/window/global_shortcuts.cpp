#include "app/window/global_shortcuts.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QVariantMap>

#include "app/window/main_window.h"
#include "app/window_language.h"

namespace squeakbox {

// One shortcut as the portal takes it: an id and its properties (a{sv}).
struct portal_shortcut {
    QString id;
    QVariantMap properties;
};

}  // namespace squeakbox

Q_DECLARE_METATYPE(squeakbox::portal_shortcut)
Q_DECLARE_METATYPE(QList<squeakbox::portal_shortcut>)

namespace squeakbox {

QDBusArgument& operator<<(QDBusArgument& out, const portal_shortcut& shortcut) {
    out.beginStructure();
    out << shortcut.id << shortcut.properties;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, portal_shortcut& shortcut) {
    in.beginStructure();
    in >> shortcut.id >> shortcut.properties;
    in.endStructure();
    return in;
}

namespace {

const QString portal_service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portal_path = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcuts_interface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString request_interface = QStringLiteral("org.freedesktop.portal.Request");

// The suggestions; the desktop shows them to the user, who has the last word.
struct suggestion {
    const char* id;
    const char* german;  // the description, through the window's language
    const char* keys;    // in the notation of the desktop's shortcut settings
};
constexpr suggestion suggestions[] = {
    {"pitch-up", "Stimme höher", "CTRL+ALT+Page_Up"},
    {"pitch-down", "Stimme tiefer", "CTRL+ALT+Page_Down"},
    {"bypass", "Eigene Stimme (ohne Effekt) ein/aus", "CTRL+ALT+B"},
    {"record", "Aufnahme starten/beenden", ""},
};

}  // namespace

// Follows the portal's answers: the two requests' responses and every press.
class portal_listener final : public QObject {
    Q_OBJECT
  public:
    portal_listener(main_window& window, QDBusConnection bus) : window_(window), bus_(bus) {}

    void start() {
        // The session first; the shortcuts are bound once it exists.
        const QString token = new_token();
        QVariantMap options;
        options.insert(QStringLiteral("handle_token"), token);
        options.insert(QStringLiteral("session_handle_token"), new_token());
        request(QStringLiteral("CreateSession"), {options}, token,
                SLOT(session_created(uint, QVariantMap)));
    }

  public Q_SLOTS:
    void session_created(uint response, const QVariantMap& results) {
        if (response != 0) return;  // refused, or the user said no
        session_ = results.value(QStringLiteral("session_handle")).toString();
        if (session_.isEmpty()) return;
        bus_.connect(portal_service, portal_path, shortcuts_interface, QStringLiteral("Activated"),
                     this, SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        QList<portal_shortcut> shortcuts;
        for (const suggestion& s : suggestions) {
            portal_shortcut shortcut;
            shortcut.id = QString::fromLatin1(s.id);
            shortcut.properties.insert(QStringLiteral("description"), window_text(s.german));
            if (s.keys[0] != '\0')
                shortcut.properties.insert(QStringLiteral("preferred_trigger"),
                                           QString::fromLatin1(s.keys));
            shortcuts.append(shortcut);
        }
        const QString token = new_token();
        QVariantMap options;
        options.insert(QStringLiteral("handle_token"), token);
        request(QStringLiteral("BindShortcuts"),
                {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts),
                 QString(), options},
                token, SLOT(bound(uint, QVariantMap)));
    }

    void bound(uint /*response*/, const QVariantMap& /*results*/) {
        // Whatever the user bound is what arrives as Activated; nothing to keep.
    }

    void activated(const QDBusObjectPath& session, const QString& id, qulonglong /*timestamp*/,
                   const QVariantMap& /*options*/) {
        if (session.path() != session_) return;
        if (id == QLatin1String("pitch-up")) window_.step_pitch(+1);
        if (id == QLatin1String("pitch-down")) window_.step_pitch(-1);
        if (id == QLatin1String("bypass")) window_.set_bypass(!window_.bypass());
        if (id == QLatin1String("record")) window_.toggle_recording();
    }

  private:
    static QString new_token() {
        return QStringLiteral("squeakbox%1").arg(QRandomGenerator::global()->generate());
    }

    // Calls `method` and follows its request's Response. The request's path
    // is known before the call, so no answer can come before we listen.
    void request(const QString& method, const QVariantList& arguments, const QString& token,
                 const char* slot) {
        QString sender = bus_.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString path =
            QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
        bus_.connect(portal_service, path, request_interface, QStringLiteral("Response"), this,
                     slot);
        QDBusMessage call = QDBusMessage::createMethodCall(portal_service, portal_path,
                                                           shortcuts_interface, method);
        call.setArguments(arguments);
        bus_.asyncCall(call);
    }

    main_window& window_;
    QDBusConnection bus_;
    QString session_;
};

struct global_shortcuts::impl {
    std::unique_ptr<portal_listener> listener;
};

global_shortcuts::global_shortcuts(main_window& window) : impl_(std::make_unique<impl>()) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return;
    // Only where a portal runs: asking one that is not there would start
    // nothing but a wait.
    const auto portal = bus.interface()->isServiceRegistered(portal_service);
    if (!portal.isValid() || !portal.value()) return;
    // The interface is there when it has a version.
    QDBusMessage version = QDBusMessage::createMethodCall(
        portal_service, portal_path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    version << shortcuts_interface << QStringLiteral("version");
    const QDBusMessage reply = bus.call(version, QDBus::Block, 2000);
    if (reply.type() == QDBusMessage::ErrorMessage) return;
    qDBusRegisterMetaType<portal_shortcut>();
    qDBusRegisterMetaType<QList<portal_shortcut>>();
    impl_->listener = std::make_unique<portal_listener>(window, bus);
    impl_->listener->start();
}

global_shortcuts::~global_shortcuts() = default;

}  // namespace squeakbox

#include "global_shortcuts.moc"
