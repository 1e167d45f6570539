#pragma once
// The tray icon, where the desktop has a tray: the pitch in its tooltip, and a
// menu with the controls one needs in a call (pitch up and down, bypass,
// record, latency mode) and quit. Closing the window keeps ending the
// program, unless the user ticked "in den Tray schließen" in that menu: then
// the window only hides, and the tray brings it back.

#include <memory>

class QAction;

namespace squeakbox {

class main_window;

class window_tray {
  public:
    // Nothing is shown where the desktop has no tray.
    window_tray(main_window& window, QAction* bypass, QAction* low_latency, bool close_to_tray);
    ~window_tray();
    window_tray(const window_tray&) = delete;
    window_tray& operator=(const window_tray&) = delete;

    [[nodiscard]] bool shown() const noexcept;
    // The window's close button hides the window instead of ending the run.
    [[nodiscard]] bool closes_to_tray() const noexcept;
    // The tooltip and the record entry, after the window's state changed.
    void refresh();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace squeakbox
