#pragma once
// Keys that work while another program has the focus: in a call, the call
// program has it. Where the desktop offers the portal's global shortcuts
// (org.freedesktop.portal.GlobalShortcuts: KDE Plasma, GNOME 48 and later,
// Hyprland), Squeakbox asks it for pitch up and down, bypass and record, with
// suggested keys that the desktop shows the user to confirm or change. Where
// it does not, nothing happens here; the README shows how to bind
// `squeakbox --pitch-up` and its siblings in the desktop's own keyboard
// settings instead.

#include <memory>

namespace squeakbox {

class main_window;

class global_shortcuts {
  public:
    // Asks the portal, when there is one, and acts on the window. The answer
    // comes later, through the event loop; nothing waits for it.
    explicit global_shortcuts(main_window& window);
    ~global_shortcuts();
    global_shortcuts(const global_shortcuts&) = delete;
    global_shortcuts& operator=(const global_shortcuts&) = delete;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace squeakbox
