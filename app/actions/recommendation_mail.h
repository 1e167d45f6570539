#pragma once
// The recommendation mail ("Mail an Bekannten"): a prefilled message the user
// sends to friends from their own mail program.

#include <string>
#include <string_view>

#include "app/actions/background_job.h"
#include "app/actions/mail_environment.h"
#include "app/actions/message_box_hook.h"

namespace squeakbox {

inline constexpr std::string_view recommendation_subject = "Squeakbox";

// The three boxes, all with the caption "Error". Their texts are kept as users
// and support know them, though no mail DLL is involved on Linux.
inline constexpr std::string_view mail_error_title = "Error";
inline constexpr std::string_view mail_no_handler_text = "Cannot load MAPI.DLL";
inline constexpr std::string_view mail_no_launcher_text = "Cannot find MAPISendMail";
inline constexpr std::string_view mail_not_sent_text = "Cannot send message";

// The mail body (string-table entry 115) in UTF-8, in the window's language,
// ending in `site_link`. Its line breaks are line feed then carriage return,
// except one pair of bare line feeds, as the German text has always been laid
// out; the English one keeps the same breaks.
std::string recommendation_body(std::string_view site_link);

// The mail body with the homepage link at its end: what string 115 serves.
std::string recommendation_body();

// The mailto: link without recipients that carries `subject` and `body`, each
// percent-encoded as UTF-8 bytes (line breaks as %0A and %0D in their order).
std::string mailto_url(std::string_view subject, std::string_view body);

// Opens the user's mail program with a compose window holding `subject` and
// `body`; the user adds the recipients. Shows `owner` exactly one box when it
// cannot: no mail program registered for mailto: links (mail_no_handler_text),
// no launcher to hand the link over (mail_no_launcher_text), or the handing
// over failed (mail_not_sent_text). Success shows nothing.
void send_recommendation_mail(std::string_view subject, std::string_view body,
                              const message_box_hook& owner,
                              const mail_environment& environment = system_mail_environment());

// The same, with the questions that may wait (xdg-mime runs as a child
// process, the launcher is looked for along the PATH) asked on `job`'s thread;
// the link is handed over and any box shown back on the caller's thread, from
// its event loop. While an earlier mail is still being prepared this does
// nothing and returns false.
bool send_recommendation_mail_in_background(
    background_job& job, std::string_view subject, std::string_view body, message_box_hook owner,
    mail_environment environment = system_mail_environment());

}  // namespace squeakbox
