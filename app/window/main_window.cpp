#include "app/window/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "app/actions/links.h"
#include "app/settings_file.h"
#include "app/window/device_listing.h"
#include "app/window/level_meter_box.h"
#include "app/window/string_table.h"
#include "app/window/window_tray.h"
#include "app/window_language.h"
#include "audio/block_format.h"
#include "audio/devices/pulse_sound_system.h"
#include "audio/mic_monitor_mute.h"
#include "options/pitch_range.h"

// Resources of a static library are only linked in when something names them.
static void load_squeakbox_resources() {
    Q_INIT_RESOURCE(squeakbox);
}

namespace squeakbox {
namespace {

QIcon class_icon() {
    QIcon icon;
    icon.addPixmap(QPixmap(QStringLiteral(":/squeakbox/icon/107.png")));
    icon.addPixmap(QPixmap(QStringLiteral(":/squeakbox/icon/108.png")));
    return icon;
}

// A string-table text as the window shows it, in the desktop's language.
QString text_of(int id) {
    return window_text(load_resource_text(id));
}

// The device number that the list's chosen entry carries: device 0 for an
// empty list, the first entry when none is chosen.
std::uint32_t chosen_device(const QWidget* widget) {
    const auto* list = static_cast<const QComboBox*>(widget);
    if (list->count() <= 0) return 0;
    return list->itemData(std::max(list->currentIndex(), 0)).toUInt();
}

// The server's name for the list's chosen entry, which survives renumbering;
// its shown name where it has none.
std::string chosen_device_id(const QWidget* widget) {
    const auto* list = static_cast<const QComboBox*>(widget);
    if (list->count() <= 0) return {};
    return list->itemData(std::max(list->currentIndex(), 0), Qt::UserRole + 1)
        .toString()
        .toStdString();
}

bool has_screen_for_boxes() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

}  // namespace

// The top-level widget; it hands its paint, close and focus events to
// main_window.
class main_window::window_widget final : public QWidget {
  public:
    explicit window_widget(main_window& owner) : owner_(owner), icon_(class_icon()) {}

    [[nodiscard]] const QIcon& icon() const noexcept { return icon_; }

  protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        if (owner_.stream_state() != stream_running) return;
        QPainter painter(this);
        const QPixmap pixmap = icon_.pixmap(32, 32);
        for (const point& at : running_icon_positions) painter.drawPixmap(at.x, at.y, pixmap);
    }
    void closeEvent(QCloseEvent* event) override { owner_.on_close(event); }
    void focusInEvent(QFocusEvent* event) override {
        QWidget::focusInEvent(event);
        // Whatever was waiting to be painted is painted now.
        repaint();
    }

  private:
    main_window& owner_;
    QIcon icon_;
};

main_window::main_window(const window_setup& setup, window_parts parts)
    : setup_(setup),
      parts_(std::move(parts)),
      pitch_semitones_(
          std::clamp(setup.pitch_semitones, min_pitch_semitones, max_pitch_semitones)) {
    load_squeakbox_resources();
    auto widget = std::make_unique<window_widget>(*this);
    widget_ = widget.get();
    widget_owner_ = std::move(widget);
    stream_ = parts_.make_stream(*this);

    widget_->setObjectName(text_of(string_id::class_name));
    widget_->setWindowTitle(text_of(string_id::window_title));
    widget_->setWindowIcon(widget_->icon());
    // A caption with a system menu and a minimise box, nothing to resize or
    // maximise: the controls sit at fixed places.
    widget_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                            Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    widget_->setFixedSize(window_width, window_height);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize size = screen->size();
        const point origin = centred_window_origin(size.width(), size.height());
        widget_->move(origin.x, origin.y);
    }
    // The window itself takes the keyboard focus, so the accelerator keys
    // reach it until a control is clicked.
    widget_->setFocusPolicy(Qt::StrongFocus);

    create_controls();

    // The banner: its picture, and the kind that chooses its link.
    banner_kind_ = banner_setup();
    auto* banner = static_cast<QPushButton*>(control_widget(control::banner_button));
    banner->setIcon(QIcon(QPixmap(QStringLiteral(":/squeakbox/bitmap/145.png"))));
    banner->setIconSize(QSize(600, 400));

    fill_device_lists();

    // With no choice to make, start at once; the window is shown first with
    // the lists, which the Start command then replaces. The Squeakbox
    // microphone for calls is an extra the user picks, not a second speaker:
    // it leaves the choice as it was.
    auto* input_list = static_cast<QComboBox*>(control_widget(control::input_device_list));
    auto* output_list = static_cast<QComboBox*>(control_widget(control::output_device_list));
    int outputs = output_list->count();
    if (output_list->findText(window_text(pulse_sound_system::virtual_mic_label)) >= 0) --outputs;
    if ((input_list->count() <= 1 && outputs <= 1) || setup_.start_at_once) {
        post([this] { on_command(control::start_button); });
    }

    parts_.pitch->set_channels(1);
    parts_.pitch->set_sample_rate(static_cast<int>(sample_rate));
    parts_.pitch->set_block_size(static_cast<int>(block_bytes));
    update_pitch_display();

    // Alt+"?" and Alt+"/" copy the program to the desktop, but only while the
    // window itself, not one of its controls, has the keyboard focus.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::ALT | Qt::Key_Question), QKeySequence(Qt::ALT | Qt::Key_Slash)}) {
        auto* shortcut = new QShortcut(keys, widget_);
        shortcut->setContext(Qt::WidgetShortcut);
        QObject::connect(shortcut, &QShortcut::activated, widget_,
                         [this] { post_message(window_message::copy_to_desktop); });
    }

    // The engine's low-latency mode: an entry of the window's context menu,
    // and Ctrl+L anywhere in the window. It trades a little smoothness for a
    // much shorter delay, which matters in a call.
    low_latency_action_ = new QAction(window_text("Geringe Latenz"), widget_);
    low_latency_action_->setCheckable(true);
    low_latency_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    low_latency_action_->setShortcutContext(Qt::WindowShortcut);
    low_latency_action_->setToolTip(
        window_text("Kürzere Verzögerung der Stimme, etwas weniger glatt"));
    QObject::connect(low_latency_action_, &QAction::toggled, widget_,
                     [this](bool on) { set_low_latency(on); });
    widget_->addAction(low_latency_action_);
    // Hearing yourself: the changed voice that goes into the Squeakbox
    // microphone also on the desktop's speaker or headset. The sound server
    // does it, so the call hears nothing later.
    if (parts_.hear_yourself) {
        hear_yourself_action_ = new QAction(window_text("Mithören"), widget_);
        hear_yourself_action_->setCheckable(true);
        hear_yourself_action_->setToolTip(
            window_text("Die Stimme im Squeakbox-Mikrofon auch selbst hören"));
        QObject::connect(hear_yourself_action_, &QAction::toggled, widget_,
                         [this](bool on) { set_hear_yourself(on); });
        widget_->addAction(hear_yourself_action_);
    }
    // The bypass: the voice as it is, without the engine's delay, for the
    // moment one wants to be heard as oneself. Ctrl+B and the context menu.
    bypass_action_ = new QAction(window_text("Eigene Stimme (ohne Effekt)"), widget_);
    bypass_action_->setCheckable(true);
    bypass_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
    bypass_action_->setShortcutContext(Qt::WindowShortcut);
    bypass_action_->setToolTip(window_text("Die Stimme unverändert und ohne Verzögerung"));
    QObject::connect(bypass_action_, &QAction::toggled, widget_,
                     [this](bool on) { set_bypass(on); });
    widget_->addAction(bypass_action_);

    // The natural voice keeps the resonances of the voice where they are:
    // the pitch moves and it still sounds like a person, not a cartoon.
    // Ctrl+N anywhere in the window, too.
    natural_voice_action_ = new QAction(window_text("Natürliche Stimme"), widget_);
    natural_voice_action_->setCheckable(true);
    natural_voice_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    natural_voice_action_->setShortcutContext(Qt::WindowShortcut);
    natural_voice_action_->setToolTip(
        window_text("Nur die Tonhöhe ändern, die Klangfarbe der Stimme bleibt"));
    QObject::connect(natural_voice_action_, &QAction::toggled, widget_,
                     [this](bool on) { set_natural_voice(on); });
    widget_->addAction(natural_voice_action_);

    // The timbre, the formants moved on their own, a semitone at a time: a
    // submenu, since the fixed layout has no room for another control.
    timbre_menu_ = std::make_unique<QMenu>(window_text("Klangfarbe"));
    QMenu* timbre_menu = timbre_menu_.get();
    timbre_actions_ = new QActionGroup(timbre_menu);
    timbre_actions_->setExclusive(true);
    for (int t = pitch_shifter::max_timbre_semitones; t >= -pitch_shifter::max_timbre_semitones;
         --t) {
        QAction* entry = timbre_menu->addAction(t == 0 ? window_text("Unverändert")
                                                       : QString::asprintf("%+d", t));
        entry->setCheckable(true);
        entry->setData(t);
        timbre_actions_->addAction(entry);
        QObject::connect(entry, &QAction::triggered, widget_,
                         [this, t] { set_timbre_semitones(t); });
    }
    widget_->addAction(timbre_menu->menuAction());
    widget_->setContextMenuPolicy(Qt::ActionsContextMenu);
    if (setup_.low_latency) set_low_latency(true);
    if (setup_.bypass) set_bypass(true);
    if (setup_.hear_yourself) set_hear_yourself(true);
    if (setup_.natural_voice) set_natural_voice(true);
    for (QAction* entry : timbre_actions_->actions())
        if (entry->data().toInt() == 0) entry->setChecked(true);
    set_timbre_semitones(setup_.timbre_semitones);

    watch_devices();
    watch_recording();
    watch_delay();
    watch_routes();
    tray_ = std::make_unique<window_tray>(*this, bypass_action_, low_latency_action_,
                                          setup_.close_to_tray);
    building_ = false;
}

void main_window::set_low_latency(bool on) {
    if (on == low_latency_) return;
    low_latency_ = on;
    parts_.pitch->set_low_latency(on);
    remember([on](saved_settings& saved) { saved.low_latency = on; });
    if (low_latency_action_ != nullptr && low_latency_action_->isChecked() != on)
        low_latency_action_->setChecked(on);
    changed();
}

void main_window::remember(const std::function<void(saved_settings&)>& change) {
    // The start's own values are this run's; only the user's changes stay.
    if (parts_.settings != nullptr && !building_) parts_.settings->change(change);
}

void main_window::changed() const {
    if (tray_) tray_->refresh();
    if (parts_.state_changed) parts_.state_changed();
}

void main_window::quit() {
    quitting_ = true;
    request_close();
}

void main_window::remember_close_to_tray(bool on) {
    remember([on](saved_settings& saved) { saved.close_to_tray = on; });
}

void main_window::set_pitch(int semitones) {
    const int pitch = std::clamp(semitones, min_pitch_semitones, max_pitch_semitones);
    change_pitch(pitch - pitch_semitones_);
}

void main_window::start() {
    on_command(control::start_button);
}

void main_window::toggle_recording() {
    on_command(control::record_button);
}

void main_window::raise_window() {
    if (widget_->isMinimized()) widget_->showNormal();
    widget_->show();
    widget_->raise();
    widget_->activateWindow();
}

bool main_window::running() const noexcept {
    return stream_state() == stream_running && !stop_requested_ && !destroyed_;
}

void main_window::set_bypass(bool on) {
    if (on == bypass_) return;
    bypass_ = on;
    parts_.pitch->set_bypass(on);
    if (bypass_action_ != nullptr && bypass_action_->isChecked() != on)
        bypass_action_->setChecked(on);
    changed();
}

void main_window::set_hear_yourself(bool on) {
    if (on == hear_yourself_ || !parts_.hear_yourself) return;
    // A refusal leaves the entry as it was; the server said why in its log.
    if (!parts_.hear_yourself(on) && on) {
        if (hear_yourself_action_ != nullptr) hear_yourself_action_->setChecked(false);
        return;
    }
    hear_yourself_ = on;
    remember([on](saved_settings& saved) { saved.hear_yourself = on; });
    if (hear_yourself_action_ != nullptr && hear_yourself_action_->isChecked() != on)
        hear_yourself_action_->setChecked(on);
}

QString main_window::delay_text() const {
    if (!parts_.delay || !started_ || stream_->stream_state() != stream_running) return {};
    const std::optional<sound_delay> delay = parts_.delay();
    if (!delay) return {};
    return window_text("Verzögerung: %1 ms").arg(std::lround(delay->total_ms()));
}

// The delay goes into the window's tool tip, within the fixed layout: a user
// who points at the window sees what a call partner waits for the voice.
void main_window::watch_delay() {
    if (!parts_.delay) return;
    auto* timer = new QTimer(widget_);
    QObject::connect(timer, &QTimer::timeout, widget_,
                     [this] { widget_->setToolTip(delay_text()); });
    timer->start(1000);
}

void main_window::set_natural_voice(bool on) {
    if (on == natural_voice_) return;
    natural_voice_ = on;
    parts_.pitch->set_voice(on ? voice_kind::natural : voice_kind::squeak);
    remember([on](saved_settings& saved) { saved.natural_voice = on; });
    if (natural_voice_action_ != nullptr && natural_voice_action_->isChecked() != on)
        natural_voice_action_->setChecked(on);
}

void main_window::set_timbre_semitones(int semitones) {
    semitones = std::clamp(semitones, -pitch_shifter::max_timbre_semitones,
                           pitch_shifter::max_timbre_semitones);
    if (semitones == timbre_) return;
    timbre_ = semitones;
    parts_.pitch->set_timbre_semitones(semitones);
    remember([semitones](saved_settings& saved) { saved.timbre_semitones = semitones; });
    if (timbre_actions_ == nullptr) return;
    for (QAction* entry : timbre_actions_->actions())
        if (entry->data().toInt() == semitones && !entry->isChecked()) entry->setChecked(true);
}

main_window::~main_window() {
    // The tray's menu shows the window's own actions; it goes before them.
    tray_.reset();
    // A window that goes away without a close still leaves the system as it
    // found it and a recording complete.
    if (!destroyed_) {
        destroyed_ = true;
        if (parts_.monitor_mute != nullptr) parts_.monitor_mute->restore();
        if (parts_.recorder != nullptr) parts_.recorder->close_file();
        is_recording_ = false;
    }
    // The stream goes first: closing its devices may still report to the
    // window.
    stream_.reset();
    widget_owner_.reset();
}

void main_window::show() {
    widget_->show();
    widget_->activateWindow();
    widget_->setFocus();
}

QWidget* main_window::widget() const noexcept {
    return widget_;
}

QWidget* main_window::control_widget(control id) const noexcept {
    return controls_[static_cast<std::size_t>(id)];
}

stream_status main_window::stream_state() const noexcept {
    return stream_ ? stream_->stream_state() : stream_not_open;
}

int main_window::exit_code() const noexcept {
    const bool refused = stream_ && stream_->device_calls_refused();
    return failure_seen_ || refused || open_failed(stream_state()) ? 1 : 0;
}

void main_window::create_controls() {
    const auto make = [this](const control_layout& layout) -> QWidget* {
        // A string-table text is loaded as its control is created.
        const QString text = layout.text_id != 0 ? text_of(layout.text_id)
                                                 : window_text(std::string(layout.text).c_str());
        switch (layout.kind) {
            case control_kind::label:
                return new QLabel(text, widget_);
            case control_kind::button:
                return new QPushButton(text, widget_);
            case control_kind::device_list:
                return new QComboBox(widget_);
            case control_kind::level_box:
                return create_level_meter_box(widget_);
            case control_kind::bitmap_button:
                return new QPushButton(widget_);
        }
        return nullptr;
    };

    for (const control_layout& layout : control_layouts) {
        QWidget* w = make(layout);
        w->setObjectName(
            QString::fromUtf8(layout.name.data(), static_cast<qsizetype>(layout.name.size())));
        int height = layout.height;
        if (layout.kind == control_kind::device_list) {
            // The given height includes the opened list: the closed box gets
            // the toolkit's height, the list the rest.
            auto* list = static_cast<QComboBox*>(w);
            list->setEditable(false);
            height = std::min(height, list->sizeHint().height());
            list->setMaxVisibleItems(std::max(1, (layout.height - height) / height));
        }
        w->setGeometry(layout.x, layout.y, layout.width, height);
        w->setVisible(layout.visible_at_start);
        controls_[static_cast<std::size_t>(layout.id)] = w;
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            // A click is handled at once, as a command from that button.
            QObject::connect(button, &QPushButton::clicked, widget_,
                             [this, id = layout.id] { on_command(id); });
        }
    }
}

namespace {

void add_devices(QComboBox* list, const std::vector<listed_device>& devices) {
    for (const listed_device& device : devices) {
        // The server's devices keep their own names; only our microphone
        // for calls is named in the window's language.
        const QString shown = device.name == pulse_sound_system::virtual_mic_label
                                  ? window_text(pulse_sound_system::virtual_mic_label)
                                  : QString::fromStdString(device.name);
        list->addItem(shown, QVariant::fromValue(device.number));
        list->setItemData(list->count() - 1,
                          QString::fromStdString(device.id.empty() ? device.name : device.id),
                          Qt::UserRole + 1);
    }
}

}  // namespace

void main_window::fill_device_lists() {
    const auto fill = [this](control id, device_list_kind direction, const std::string& wanted,
                             const std::string& saved) {
        auto* list = static_cast<QComboBox*>(control_widget(id));
        const std::vector<listed_device> devices = list_devices(*parts_.devices, direction);
        add_devices(list, devices);
        if (list->count() > 0) list->setCurrentIndex(0);
        // Last run's device, only by its exact name: a device that is gone
        // leaves the first entry chosen, without a word.
        if (!saved.empty()) {
            const int at = list->findData(QString::fromStdString(saved), Qt::UserRole + 1);
            if (at >= 0) list->setCurrentIndex(at);
        }
        if (!wanted.empty()) {
            const device_match match = find_device(devices, wanted);
            if (match.index >= 0) list->setCurrentIndex(match.index);
        }
    };
    fill(control::input_device_list, device_list_kind::capture, setup_.input_device,
         setup_.saved_input_device);
    fill(control::output_device_list, device_list_kind::playback, setup_.output_device,
         setup_.saved_output_device);
}

// A headset plugged in before Start appears in the list; the entry chosen
// stays chosen while its device is there.
void main_window::refill_device_lists() {
    for (const auto& [id, direction] :
         {std::pair{control::input_device_list, device_list_kind::capture},
          std::pair{control::output_device_list, device_list_kind::playback}}) {
        auto* list = static_cast<QComboBox*>(control_widget(id));
        const QVariant chosen = list->currentData(Qt::UserRole + 1);
        list->clear();
        add_devices(list, list_devices(*parts_.devices, direction));
        const int at = chosen.isValid() ? list->findData(chosen, Qt::UserRole + 1) : -1;
        list->setCurrentIndex(at >= 0 ? at : (list->count() > 0 ? 0 : -1));
    }
}

// What the server's devices did by themselves is told on the top line, not
// in a box: the voice goes on meanwhile, and nothing waits for a click.
void main_window::watch_routes() {
    if (!parts_.route_news && !parts_.refresh_devices) return;
    auto* timer = new QTimer(widget_);
    QObject::connect(timer, &QTimer::timeout, widget_, [this] {
        if (destroyed_) return;
        if (parts_.route_news)
            for (const std::string& line : parts_.route_news(routes_seen_)) show_route(line);
        // Once started, the lists are hidden and the devices are open.
        if (!started_ && parts_.refresh_devices && parts_.refresh_devices()) refill_device_lists();
    });
    timer->start(250);
}

void main_window::show_route(const std::string& line) {
    auto* label = static_cast<QLabel*>(control_widget(control::intro_label));
    label->setText(QString::fromStdString(line));
    label->setToolTip(QString::fromStdString(line));
    std::fprintf(stderr, "%s\n", line.c_str());
}

// Runs `action` once the handler in progress has finished, behind what is
// already queued: the window's own posted message.
void main_window::post(std::function<void()> action) {
    QMetaObject::invokeMethod(widget_, std::move(action), Qt::QueuedConnection);
}

void main_window::post_message(window_message message) {
    post([this, message] { on_message(message); });
}

void main_window::request_close() {
    widget_->close();
}

// A command from a control: the buttons' clicks and the automatic start.
void main_window::on_command(control source) {
    switch (source) {
        case control::recommend_button:
            return post_message(window_message::recommend);
        case control::homepage_button:
            return post_message(window_message::homepage);
        case control::apps_button:
            return post_message(window_message::apps_page);
        case control::pitch_down_button:
            return change_pitch(-1);
        case control::pitch_up_button:
            return change_pitch(+1);
        case control::record_button:
            return post_message(is_recording_ ? window_message::record_stop
                                              : window_message::record_start);
        case control::start_button:
            return start_action();
        case control::banner_button:
            if (banner_kind_ >= 0 && banner_kind_ <= 4 && parts_.actions.open_banner_link) {
                parts_.actions.open_banner_link(banner_kind_);
            }
            return;
        default:
            return;
    }
}

void main_window::start_action() {
    // The stream is opened once in a run; a second Start command (a click
    // racing the automatic start) would open the devices twice.
    if (started_) return;
    started_ = true;
    for (control id :
         {control::start_button, control::input_device_list, control::output_device_list,
          control::input_device_label, control::output_device_label}) {
        control_widget(id)->hide();
    }
    for (control id : {control::pitch_down_button, control::pitch_up_button, control::pitch_label,
                       control::level_meter_box}) {
        control_widget(id)->show();
    }
    // Devices the user chose in the lists are chosen again next time; those
    // named on the command line or files are for this run only.
    if (parts_.settings != nullptr && !setup_.start_at_once) {
        parts_.settings->change([this](saved_settings& saved) {
            saved.input_device = chosen_device_id(control_widget(control::input_device_list));
            saved.output_device = chosen_device_id(control_widget(control::output_device_list));
        });
    }
    stream_->open_stream(chosen_device(control_widget(control::input_device_list)),
                         chosen_device(control_widget(control::output_device_list)));
    if (stream_->stream_state() == stream_no_microphone)
        message_box("Error initializing microphone", "Error");
    if (stream_->stream_state() == stream_no_output)
        message_box("Error initializing sound output", "Error");
    widget_->update();
    if (open_failed(stream_->stream_state()) && setup_.close_on_failed_start) post_close();
    changed();
    if (stream_->stream_state() == stream_running && setup_.record_when_running) {
        post_message(window_message::record_start);
    }
    // Behind the recording asked for at the start, so that it holds the
    // first block: from then on the stream's own thread hears the devices,
    // and the window only the stream's news.
    if (stream_->stream_state() == stream_running) {
        post([this] {
            stream_->move_to_own_thread();
            if (stream_->on_own_thread() && device_notifier_ != nullptr)
                device_notifier_->setEnabled(false);
        });
    }
}

void main_window::change_pitch(int step) {
    const int pitch = pitch_semitones_ + step;
    // Beyond these bounds the engine no longer gives a usable voice; the
    // buttons simply stop there.
    if (pitch < min_pitch_semitones || pitch > max_pitch_semitones) return;
    pitch_semitones_ = pitch;
    update_pitch_display();
    remember([pitch](saved_settings& saved) { saved.pitch_semitones = pitch; });
    changed();
}

void main_window::update_pitch_display() {
    char text[14];
    std::snprintf(text, sizeof text, "Pitch: %d", pitch_semitones_);
    static_cast<QLabel*>(control_widget(control::pitch_label))->setText(QString::fromLatin1(text));
    parts_.pitch->set_pitch_semitones(pitch_semitones_);
}

void main_window::on_message(window_message message) {
    const window_actions& actions = parts_.actions;
    switch (message) {
        case window_message::recommend:
            if (actions.send_recommendation_mail) actions.send_recommendation_mail();
            break;
        case window_message::homepage:
            if (actions.open_homepage) actions.open_homepage();
            break;
        case window_message::copy_to_desktop:
            if (actions.copy_to_desktop) actions.copy_to_desktop();
            break;
        case window_message::record_start:
            record_start();
            break;
        case window_message::record_stop:
            record_stop();
            break;
        case window_message::apps_page:
            if (actions.open_apps_page) actions.open_apps_page();
            break;
    }
}

void main_window::on_close(QCloseEvent* event) {
    if (destroyed_) {
        event->accept();
        return;
    }
    // Chosen in the tray's menu: the close button only hides the window.
    // The stop's own final close always goes through.
    if (!quitting_ && !stop_requested_ && tray_ && tray_->closes_to_tray()) {
        event->ignore();
        widget_->hide();
        return;
    }
    stop_requested_ = true;
    changed();
    stream_->request_stop();
    // The closing handshake runs here: the devices' notifications come to
    // the window again.
    if (device_notifier_ != nullptr) device_notifier_->setEnabled(true);
    if (!stream_->close_allowed()) {
        // The devices are giving their buffers back; the stream posts the
        // close again once both are shut.
        event->ignore();
        return;
    }
    event->accept();
    destroy_window();
}

void main_window::destroy_window() {
    destroyed_ = true;
    if (parts_.monitor_mute != nullptr) parts_.monitor_mute->restore();
    // The level bar's colours are plain values; there is nothing to free.
    // Also waits for a stopped recording still being finished, so that the
    // file is complete, and any failure known, when the program ends.
    if (parts_.recorder != nullptr) parts_.recorder->close_file();
    is_recording_ = false;
    if (parts_.quit) {
        parts_.quit();
    } else {
        QCoreApplication::exit(exit_code());
    }
}

void main_window::record_start() {
    // Two presses before the first is handled post two starts; the file is
    // open already.
    if (is_recording_ || parts_.recorder == nullptr) return;
    const record_target& target = stream_->recording_target();
    std::string reason;
    if (stream_->stream_state() == stream_not_open) {
        reason = "the sound has not been started yet";
    } else if (open_failed(stream_->stream_state())) {
        // After a failed Start there is nothing to record, whatever the
        // desktop folder.
        reason = "the sound is not running";
    } else if (parts_.recorder->open_file(target, reason)) {
        is_recording_ = true;
        static_cast<QPushButton*>(control_widget(control::record_button))
            ->setText(QStringLiteral("Stop"));
        changed();
        return;
    }
    // A file that would not open, while the sound runs, loses the recording
    // that was asked for.
    if (stream_->stream_state() == stream_running) failure_seen_ = true;
    // The caption stays "Aufnehmen": nothing is being recorded.
    std::string text = "Cannot open recording file";
    if (!target.file_name.empty()) text += " \"" + target.file_name + "\"";
    text += ": " + reason;
    message_box(text, "Error");
}

void main_window::record_stop() {
    // The sound goes on: the file is finished without waiting for the disk.
    if (parts_.recorder != nullptr) parts_.recorder->close_file_in_background();
    is_recording_ = false;
    static_cast<QPushButton*>(control_widget(control::record_button))
        ->setText(text_of(string_id::record_caption));
    changed();
}

void main_window::recording_ended() {
    failure_seen_ = true;
    static_cast<QPushButton*>(control_widget(control::record_button))
        ->setText(text_of(string_id::record_caption));
    changed();
    message_box("Recording stopped: " + recording_end_reason_, "Recording stopped");
}

void main_window::watch_recording() {
    // The recorder's writer may fail while no block comes to hear of it, or
    // while it finishes a stopped recording; look a few times a second.
    auto* timer = new QTimer(widget_);
    QObject::connect(timer, &QTimer::timeout, widget_, [this] {
        std::string reason;
        if (destroyed_ || parts_.recorder == nullptr || !parts_.recorder->take_failure(reason))
            return;
        is_recording_ = false;
        recording_end_reason_ = reason;
        recording_ended();
    });
    timer->start(250);
}

void main_window::watch_devices() {
    sound_system* devices = parts_.devices;
    // While the stream moves its blocks on its own thread, the devices are
    // its alone.
    const auto dispatch = [this, devices] {
        if (!stream_->on_own_thread()) devices->dispatch_pending();
    };
    auto* timer = new QTimer(widget_);
    QObject::connect(timer, &QTimer::timeout, widget_, dispatch);
    if (const int fd = stream_->notice_fd(); fd >= 0) {
        auto* news = new QSocketNotifier(fd, QSocketNotifier::Read, widget_);
        QObject::connect(news, &QSocketNotifier::activated, widget_,
                         [this] { stream_->deliver_notices(); });
    }
    if (const int fd = devices->event_fd(); fd >= 0) {
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, widget_);
        device_notifier_ = notifier;
        QObject::connect(notifier, &QSocketNotifier::activated, widget_, dispatch);
        // A safety net, not the road: should a wake-up ever go missing, the
        // sound stalls for a moment instead of for good.
        timer->setInterval(250);
    } else {
        // Without a descriptor to wait on, look for notifications often.
        timer->setInterval(1);
    }
    timer->start();
}

// stream_listener

void main_window::message_box(std::string_view text, std::string_view title) {
    if (parts_.actions.message_box) {
        parts_.actions.message_box(text, title);
        return;
    }
    if (!has_screen_for_boxes()) {
        // Nobody could press OK; say it where a headless run is watched.
        std::fprintf(stderr, "squeakbox: %.*s: %.*s\n", static_cast<int>(title.size()),
                     title.data(), static_cast<int>(text.size()), text.data());
        return;
    }
    QMessageBox box(QMessageBox::Warning,
                    QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())),
                    QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok, widget_);
    // The sound goes on meanwhile: on its own thread while it runs, through
    // the box's own loop while the devices drain at the end.
    box.exec();
}

void main_window::post_close() {
    post([this] { widget_->close(); });
}

void main_window::start_stop_deadline(std::chrono::milliseconds delay) {
    QTimer::singleShot(delay, widget_, [this] { stream_->stop_deadline_passed(); });
}

void main_window::capture_ended() {
    // The whole file has been heard: close the way the close button does, so
    // the devices drain and a recording is finished properly.
    if (!setup_.close_at_capture_end) return;
    quitting_ = true;
    post_close();
}

void main_window::device_failed(const std::string& reason) {
    failure_seen_ = true;
    // Told once the block in progress is through, not in the middle of it.
    post([this, text = "The sound device failed: " + reason] { message_box(text, "Error"); });
}

void main_window::show_level(level_reading level) {
    QWidget* box = control_widget(control::level_meter_box);
    show_level_split(box, level.split(0, level_meter_inner_width(box)));
}

int main_window::level_split() const {
    return shown_level_split(control_widget(control::level_meter_box));
}

void main_window::recording_stopped(const std::string& reason) {
    // The file is closed, as complete as it could be made. Say so once the
    // block is through, not in the middle of it.
    is_recording_ = false;
    recording_end_reason_ = reason;
    post([this] { recording_ended(); });
}

}  // namespace squeakbox
