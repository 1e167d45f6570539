#include "app/window/window_tray.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

#include "app/window/main_window.h"
#include "app/window/string_table.h"
#include "app/window_language.h"

namespace squeakbox {

struct window_tray::impl {
    main_window& window;
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<QSystemTrayIcon> icon;
    QAction* record = nullptr;
    QAction* close_to_tray = nullptr;

    explicit impl(main_window& owner) : window(owner) {}
};

window_tray::window_tray(main_window& window, QAction* bypass, QAction* low_latency,
                         bool close_to_tray)
    : impl_(std::make_unique<impl>(window)) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    impl& self = *impl_;
    self.menu = std::make_unique<QMenu>();
    QMenu& menu = *self.menu;
    QObject::connect(menu.addAction(window_text("Fenster zeigen")), &QAction::triggered,
                     [&window] { window.raise_window(); });
    menu.addSeparator();
    QObject::connect(menu.addAction(window_text("Höher")), &QAction::triggered,
                     [&window] { window.step_pitch(+1); });
    QObject::connect(menu.addAction(window_text("Tiefer")), &QAction::triggered,
                     [&window] { window.step_pitch(-1); });
    // The window's own switches, so both always show the same state.
    menu.addAction(bypass);
    self.record = menu.addAction(window_text(load_resource_text(string_id::record_caption)));
    QObject::connect(self.record, &QAction::triggered, [&window] { window.toggle_recording(); });
    menu.addAction(low_latency);
    menu.addSeparator();
    self.close_to_tray = menu.addAction(window_text("in den Tray schließen"));
    self.close_to_tray->setCheckable(true);
    self.close_to_tray->setChecked(close_to_tray);
    QObject::connect(self.close_to_tray, &QAction::toggled,
                     [&window](bool on) { window.remember_close_to_tray(on); });
    QObject::connect(menu.addAction(window_text("Beenden")), &QAction::triggered,
                     [&window] { window.quit(); });

    self.icon = std::make_unique<QSystemTrayIcon>(window.widget()->windowIcon());
    self.icon->setContextMenu(&menu);
    // A click on the icon itself brings the window back.
    QObject::connect(self.icon.get(), &QSystemTrayIcon::activated,
                     [&window](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) window.raise_window();
                     });
    refresh();
    self.icon->show();
}

window_tray::~window_tray() = default;

bool window_tray::shown() const noexcept {
    return impl_->icon != nullptr && impl_->icon->isVisible();
}

bool window_tray::closes_to_tray() const noexcept {
    return shown() && impl_->close_to_tray != nullptr && impl_->close_to_tray->isChecked();
}

void window_tray::refresh() {
    impl& self = *impl_;
    if (!self.icon) return;
    QString tip = QStringLiteral("Squeakbox – Pitch: %1").arg(self.window.pitch_semitones());
    if (self.window.bypass()) tip += QStringLiteral(" (") + window_text("ohne Effekt") + ')';
    if (self.window.is_recording()) tip += QStringLiteral(" ●");
    self.icon->setToolTip(tip);
    self.record->setText(self.window.is_recording()
                             ? QStringLiteral("Stop")
                             : window_text(load_resource_text(string_id::record_caption)));
}

}  // namespace squeakbox
