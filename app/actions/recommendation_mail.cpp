#include "app/actions/recommendation_mail.h"

#include "app/actions/links.h"
#include "app/actions/percent_encoding.h"
#include "app/window_language.h"

#include <memory>
#include <utility>

namespace squeakbox {

namespace {

// The German text's own line breaks: line feed first, then carriage return.
constexpr std::string_view line_break = "\n\r";
constexpr std::string_view name = "\"Squeakbox\"";

void show(const message_box_hook& owner, std::string_view text) {
    if (owner) owner(std::string(text), std::string(mail_error_title));
}

// The desktop's answers that may keep us waiting: the box of the first one
// that is missing, or an empty text when the link can be handed over.
std::string_view ask_desktop(const mail_environment& environment) {
    if (!environment.handler_registered || !environment.handler_registered())
        return mail_no_handler_text;
    if (!environment.launcher_available || !environment.launcher_available())
        return mail_no_launcher_text;
    return {};
}

void hand_over(std::string_view answer, std::string_view subject, std::string_view body,
               const message_box_hook& owner, const mail_environment& environment) {
    if (!answer.empty()) {
        show(owner, answer);
        return;
    }
    if (!environment.open || !environment.open(mailto_url(subject, body))) {
        show(owner, mail_not_sent_text);
    }
}

}  // namespace

std::string recommendation_body(std::string_view site_link) {
    const QString squeakbox = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    // Each sentence in the window's language; the German ones exactly as the
    // mail has always read.
    const auto text = [](const char* german) { return window_text(german).toStdString(); };
    const auto named = [&squeakbox](const char* german) {
        return window_text(german).arg(squeakbox).toStdString();
    };
    const std::string br(line_break);
    // The one break of two bare line feeds stands after the third sentence.
    return named("Diese Empfehlung wurde von der Software %1 generiert.") + br + br + ' ' +
           named(
               "%1 ändert Ihre Tonlage. Eine höhere Tonlage läßt Sie wie ein Zwerg sprechen, "
               "eine niedrigere gibt Ihnen eine sehr tiefe Stimme. Alles was Sie benötigen ist "
               "ein Mikrofon.") +
           br +
           text(
               "Schliessen Sie Ihre Hifi-Anlage oder den Audioausgang Ihrer TV Karte an Ihren "
               "Mikrofoneingang und hören Sie zu!") +
           " \n\n" + text("Das Programm ist völlig kostenlos!") + br +
           text("Toll für Ihre nächste Karaoke Party!") + br + br + ' ' +
           named("Sie können %1 und weitere tolle Software bekommen unter") + ' ' +
           std::string(site_link) + br + br;
}

std::string recommendation_body() {
    return recommendation_body(homepage_link());
}

std::string mailto_url(std::string_view subject, std::string_view body) {
    return "mailto:?subject=" + percent_encode(subject) + "&body=" + percent_encode(body);
}

void send_recommendation_mail(std::string_view subject, std::string_view body,
                              const message_box_hook& owner, const mail_environment& environment) {
    hand_over(ask_desktop(environment), subject, body, owner, environment);
}

bool send_recommendation_mail_in_background(background_job& job, std::string_view subject,
                                            std::string_view body, message_box_hook owner,
                                            mail_environment environment) {
    auto shared = std::make_shared<const mail_environment>(std::move(environment));
    auto answer = std::make_shared<std::string_view>(mail_no_handler_text);
    return job.start(
        [shared, answer] { *answer = ask_desktop(*shared); },
        [shared, answer, subject = std::string(subject), body = std::string(body),
         owner = std::move(owner)] { hand_over(*answer, subject, body, owner, *shared); });
}

}  // namespace squeakbox
