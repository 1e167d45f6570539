#include "app/remote_control.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include "app/window/main_window.h"

namespace squeakbox {
namespace {

// How long a client waits for the running program's answer: its window
// thread answers between two of its own messages, which never take long.
constexpr int call_timeout_ms = 5000;

QString latency_text(bool low) {
    return low ? QStringLiteral("low") : QStringLiteral("normal");
}

}  // namespace

// The object on the bus. Every call lands on the window's thread, between
// the window's own messages, and goes to the window as its controls would.
class remote_object final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.squeakbox.Squeakbox")
    Q_PROPERTY(int Pitch READ pitch WRITE SetPitch)
    Q_PROPERTY(QString LatencyMode READ latency_mode WRITE set_latency_mode)
    Q_PROPERTY(bool Running READ running)
    Q_PROPERTY(bool Recording READ recording)
    Q_PROPERTY(bool Bypass READ bypass WRITE SetBypass)

  public:
    main_window* window = nullptr;

    [[nodiscard]] int pitch() const { return window != nullptr ? window->pitch_semitones() : 0; }
    [[nodiscard]] QString latency_mode() const {
        return latency_text(window != nullptr && window->low_latency());
    }
    void set_latency_mode(const QString& mode) {
        if (window == nullptr) return;
        if (mode == QLatin1String("low")) window->set_low_latency(true);
        if (mode == QLatin1String("normal")) window->set_low_latency(false);
    }
    [[nodiscard]] bool running() const { return window != nullptr && window->running(); }
    [[nodiscard]] bool recording() const { return window != nullptr && window->is_recording(); }
    [[nodiscard]] bool bypass() const { return window != nullptr && window->bypass(); }

  public Q_SLOTS:
    void SetPitch(int semitones) {
        if (window != nullptr) window->set_pitch(semitones);
    }
    void PitchUp() {
        if (window != nullptr) window->step_pitch(+1);
    }
    void PitchDown() {
        if (window != nullptr) window->step_pitch(-1);
    }
    void Start() {
        if (window != nullptr) window->start();
    }
    void Stop() {
        if (window != nullptr) window->quit();
    }
    void ToggleRecording() {
        if (window != nullptr) window->toggle_recording();
    }
    void SetBypass(bool on) {
        if (window != nullptr) window->set_bypass(on);
    }
    void ToggleBypass() {
        if (window != nullptr) window->set_bypass(!window->bypass());
    }
    void Raise() {
        if (window != nullptr) window->raise_window();
    }

  Q_SIGNALS:
    void PitchChanged(int pitch);
    void LatencyModeChanged(const QString& mode);
    void RunningChanged(bool running);
    void RecordingChanged(bool recording);
    void BypassChanged(bool bypass);
};

struct remote_host::impl {
    QDBusConnection bus = QDBusConnection::sessionBus();
    remote_object object;
    bool owned = false;
    // What the bus was last told.
    int pitch = 0;
    QString latency;
    bool running = false;
    bool recording = false;
    bool bypass = false;
};

remote_host::remote_host() : impl_(std::make_unique<impl>()) {}

remote_host::~remote_host() {
    if (impl_->owned) {
        impl_->bus.unregisterObject(QString::fromLatin1(remote_object_path));
        impl_->bus.unregisterService(QString::fromLatin1(remote_service_name));
    }
}

remote_host::claim remote_host::take_name() {
    QDBusConnection& bus = impl_->bus;
    if (!bus.isConnected() || bus.interface() == nullptr) return claim::no_bus;
    // The object first: whoever sees the name finds it answering.
    if (!bus.registerObject(QString::fromLatin1(remote_object_path), &impl_->object,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties)) {
        return claim::no_bus;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus.interface()->registerService(QString::fromLatin1(remote_service_name),
                                         QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        impl_->owned = true;
        return claim::owned;
    }
    bus.unregisterObject(QString::fromLatin1(remote_object_path));
    return reply.isValid() ? claim::taken : claim::no_bus;
}

void remote_host::attach(main_window* window) {
    impl_->object.window = window;
    if (window == nullptr) return;
    impl_->pitch = window->pitch_semitones();
    impl_->latency = latency_text(window->low_latency());
    impl_->running = window->running();
    impl_->recording = window->is_recording();
    impl_->bypass = window->bypass();
}

void remote_host::publish() {
    remote_object& object = impl_->object;
    if (!impl_->owned || object.window == nullptr) return;
    QVariantMap changed;
    if (const int pitch = object.pitch(); pitch != impl_->pitch) {
        impl_->pitch = pitch;
        changed.insert(QStringLiteral("Pitch"), pitch);
        Q_EMIT object.PitchChanged(pitch);
    }
    if (const QString latency = object.latency_mode(); latency != impl_->latency) {
        impl_->latency = latency;
        changed.insert(QStringLiteral("LatencyMode"), latency);
        Q_EMIT object.LatencyModeChanged(latency);
    }
    if (const bool running = object.running(); running != impl_->running) {
        impl_->running = running;
        changed.insert(QStringLiteral("Running"), running);
        Q_EMIT object.RunningChanged(running);
    }
    if (const bool recording = object.recording(); recording != impl_->recording) {
        impl_->recording = recording;
        changed.insert(QStringLiteral("Recording"), recording);
        Q_EMIT object.RecordingChanged(recording);
    }
    if (const bool bypass = object.bypass(); bypass != impl_->bypass) {
        impl_->bypass = bypass;
        changed.insert(QStringLiteral("Bypass"), bypass);
        Q_EMIT object.BypassChanged(bypass);
    }
    if (changed.isEmpty()) return;
    // For desktop tools that follow properties the standard way.
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(remote_object_path), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(remote_interface_name) << changed << QStringList{};
    impl_->bus.send(signal);
}

remote_result send_to_running(const remote_request& request, std::string& problem) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) {
        problem = "there is no session bus to reach one through";
        return remote_result::none_running;
    }
    const QDBusReply<bool> registered =
        bus.interface()->isServiceRegistered(QString::fromLatin1(remote_service_name));
    if (!registered.isValid() || !registered.value()) return remote_result::none_running;

    const auto call = [&bus, &problem](const char* method, const QVariantList& arguments = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromLatin1(remote_service_name), QString::fromLatin1(remote_object_path),
            QString::fromLatin1(remote_interface_name), QString::fromLatin1(method));
        message.setArguments(arguments);
        const QDBusMessage reply = bus.call(message, QDBus::Block, call_timeout_ms);
        if (reply.type() != QDBusMessage::ErrorMessage) return true;
        problem = "the running Squeakbox did not take " + std::string(method) + ": " +
                  reply.errorMessage().toStdString();
        return false;
    };
    if (request.pitch && !call("SetPitch", {*request.pitch})) return remote_result::failed;
    for (int i = 0; i < request.pitch_steps; ++i)
        if (!call("PitchUp")) return remote_result::failed;
    for (int i = 0; i > request.pitch_steps; --i)
        if (!call("PitchDown")) return remote_result::failed;
    if (request.bypass && !call("SetBypass", {*request.bypass})) return remote_result::failed;
    if (request.toggle_bypass && !call("ToggleBypass")) return remote_result::failed;
    if (request.toggle_recording && !call("ToggleRecording")) return remote_result::failed;
    if (request.raise && !call("Raise")) return remote_result::failed;
    return remote_result::sent;
}

}  // namespace squeakbox

#include "remote_control.moc"
