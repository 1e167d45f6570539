#include "app/window_language.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

// Resources of a static library are only linked in when something names them.
static void load_window_translations() {
    Q_INIT_RESOURCE(squeakbox_translations);
}

namespace squeakbox {

namespace {

// Every window text lives in one context, so a translation is found by its
// German text alone, wherever in the window it is shown.
constexpr const char* text_context = "squeakbox";
constexpr const char* english_file = ":/squeakbox/translations/squeakbox_en.qm";

}  // namespace

window_language language_of(const QLocale& locale) {
    return locale.language() == QLocale::German ? window_language::german
                                                : window_language::english;
}

window_translation::window_translation(window_language language) {
    if (language == window_language::german) return;
    load_window_translations();
    auto translator = std::make_unique<QTranslator>();
    loaded_ = translator->load(QString::fromLatin1(english_file)) &&
              QCoreApplication::installTranslator(translator.get());
    if (loaded_) translator_ = std::move(translator);
}

window_translation::~window_translation() {
    if (translator_) QCoreApplication::removeTranslator(translator_.get());
}

QString window_text(const char* german) {
    return QCoreApplication::translate(text_context, german);
}

}  // namespace squeakbox
