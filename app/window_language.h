#pragma once
// The window speaks the desktop's language: German on a German desktop, with
// the texts it has always had, and English everywhere else. The German texts
// are the ones written in the program; the English ones come from
// app/translations/squeakbox_en.ts, built into the program. Messages on the
// terminal are English in every case.
//
// A new window text: write it in German through window_text("..."), and add
// one line with its English to squeakbox_en.ts.

#include <QString>

#include <memory>

class QLocale;
class QTranslator;

namespace squeakbox {

enum class window_language { german, english };

// German for a German locale (any country), English for every other one.
// QLocale::system() already weighs LANGUAGE, LC_ALL, LC_MESSAGES and LANG.
[[nodiscard]] window_language language_of(const QLocale& locale);

// While it lives, the application's window texts are in `language`.
class window_translation {
  public:
    explicit window_translation(window_language language);
    ~window_translation();
    window_translation(const window_translation&) = delete;
    window_translation& operator=(const window_translation&) = delete;

    // False when the English texts could not be loaded; the window then
    // speaks German.
    [[nodiscard]] bool loaded() const noexcept { return loaded_; }

  private:
    std::unique_ptr<QTranslator> translator_;
    bool loaded_ = true;
};

// What the window shows for one of its German texts (UTF-8): the text itself,
// or its English while the English translation is installed.
[[nodiscard]] QString window_text(const char* german);

}  // namespace squeakbox
