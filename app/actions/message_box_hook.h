#pragma once
// How an action that runs outside the window tells the user about a failure:
// the window passes a hook that shows a modal box owned by itself. Keeping the
// box behind a hook lets the actions stay free of widgets and lets tests see
// exactly which boxes would have appeared.

#include <functional>
#include <string>

namespace squeakbox {

// Shows `text` in a modal box with an OK button and the caption `title`; returns
// when the user has closed it.
using message_box_hook = std::function<void(const std::string& text, const std::string& title)>;

}  // namespace squeakbox
