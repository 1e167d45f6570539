#include "app/actions/recommendation_mail.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/actions/links.h"
#include "test_support.h"

namespace squeakbox {
namespace {

using test::box_recorder;
using test::ensure_event_loop;
using test::percent_decode;
using test::run_events_until;
using test::shown_box;
using namespace std::chrono_literals;

// The body assembled here from its twelve pieces, with the letters written as
// code points, independently of how the program writes them.
std::string body_from_pieces(const std::string& link) {
    const std::string name = "\"Squeakbox\"";
    const std::vector<std::string> pieces = {
        "Diese Empfehlung wurde von der Software " + name + " generiert.",
        "\n\r\n\r",
        " " + name +
            " \u00e4ndert Ihre Tonlage. Eine h\u00f6here Tonlage l\u00e4\u00dft Sie wie ein "
            "Zwerg sprechen, eine niedrigere gibt Ihnen eine sehr tiefe Stimme. Alles was Sie "
            "ben\u00f6tigen ist ein Mikrofon.",
        "\n\r",
        "Schliessen Sie Ihre Hifi-Anlage oder den Audioausgang Ihrer TV Karte an Ihren "
        "Mikrofoneingang und h\u00f6ren Sie zu! ",
        "\n\n",
        "Das Programm ist v\u00f6llig kostenlos!",
        "\n\r",
        "Toll f\u00fcr Ihre n\u00e4chste Karaoke Party!",
        "\n\r\n\r",
        " Sie k\u00f6nnen " + name + " und weitere tolle Software bekommen unter " + link,
        "\n\r\n\r",
    };
    std::string body;
    for (const std::string& piece : pieces) body += piece;
    return body;
}

// Length of UTF-8 `text` in code page 1252, failing for a character it lacks.
std::size_t cp1252_size(const std::string& text) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < text.size(); ++size) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // Every non-ASCII letter of the body is a two-byte sequence for U+00A0 to
        // U+00FF, where code page 1252 agrees with Latin-1.
        EXPECT_TRUE(lead == 0xC2 || lead == 0xC3) << "at byte " << i;
        const unsigned code =
            ((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
        EXPECT_GE(code, 0xA0u) << "at byte " << i;
        i += 2;
    }
    return size;
}

TEST(RecommendationBody, IsThePiecesByteForByte) {
    const std::string link = "file:///usr/share/squeakbox/help/index.html";
    const std::string body = recommendation_body(link);
    EXPECT_EQ(body, body_from_pieces(link));
    // Exactly one pair of bare line feeds; every carriage return follows a line feed.
    EXPECT_EQ(body.find("\n\n"), body.rfind("\n\n"));
    EXPECT_NE(body.find("zu! \n\nDas"), std::string::npos);
    for (std::size_t i = body.find('\r'); i != std::string::npos; i = body.find('\r', i + 1)) {
        EXPECT_EQ(body[i - 1], '\n') << "carriage return at " << i;
    }
    EXPECT_EQ(body.substr(body.size() - link.size() - 4), link + "\n\r\n\r");
    // The served text ends in the homepage link.
    EXPECT_EQ(recommendation_body(), body_from_pieces(homepage_link()));
}

TEST(RecommendationBody, CountsFiveHundredFortyTwoCp1252BytesWithAThirtyFiveCharacterLink) {
    // The pieces alone take 507 characters, so the stored count of 542 holds with
    // a 35-character site link; ours is as long as its path makes it.
    const std::string link35 = "https://squeakbox.example/index.htm";
    ASSERT_EQ(link35.size(), 35u);
    EXPECT_EQ(cp1252_size(recommendation_body(link35)), 542u);
    EXPECT_EQ(cp1252_size(recommendation_body("")), 507u);
    const std::string ours = homepage_link();
    EXPECT_EQ(cp1252_size(recommendation_body()), 507u + ours.size());
    // Ten German letters of two UTF-8 bytes each: ä ö ä ß ö ö ö ü ä ö.
    EXPECT_EQ(recommendation_body("").size(), 507u + 10u);
}

TEST(MailtoUrl, CarriesSubjectAndBodyEncodedInOrder) {
    // A link with its own query proves that & and = in the body cannot end it.
    const std::string body = recommendation_body("file:///tmp/a b/index.html?x=1&y=2#top");
    const std::string url = mailto_url(recommendation_subject, body);

    const std::string head = "mailto:?subject=Squeakbox&body=";
    ASSERT_EQ(url.rfind(head, 0), 0u) << url;
    const std::string encoded_body = url.substr(head.size());
    EXPECT_EQ(percent_decode(encoded_body), body);
    // Nothing left bare that a mail program or a shell could misread.
    EXPECT_EQ(encoded_body.find_first_of(" \n\r&=?#\"+"), std::string::npos) << encoded_body;
    EXPECT_NE(encoded_body.find("generiert.%0A%0D%0A%0D%20%22Squeakbox%22%20%C3%A4ndert"),
              std::string::npos);
    EXPECT_NE(encoded_body.find("zu%21%20%0A%0ADas"), std::string::npos);
    EXPECT_NE(encoded_body.find("%3Fx%3D1%26y%3D2%23top%0A%0D%0A%0D"), std::string::npos);
    for (auto i = encoded_body.find("%0D"); i != std::string::npos;
         i = encoded_body.find("%0D", i + 1)) {
        EXPECT_EQ(encoded_body.substr(i - 3, 3), "%0A") << "carriage return at " << i;
    }
}

TEST(MailtoUrl, SurvivesTheDesktopOpenersParsing) {
    // The desktop opener parses the link strictly before handing it on; the body
    // that comes out of that must still be the whole body.
    const std::string body = recommendation_body("file:///tmp/a b/index.html?x=1&y=2");
    const std::string url = mailto_url(recommendation_subject, body);
    const QUrl parsed = QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::StrictMode);
    ASSERT_TRUE(parsed.isValid()) << parsed.errorString().toStdString();
    const std::string handed_over = parsed.toEncoded().toStdString();
    const std::string head = "mailto:?subject=Squeakbox&body=";
    ASSERT_EQ(handed_over.rfind(head, 0), 0u) << handed_over;
    EXPECT_EQ(percent_decode(handed_over.substr(head.size())), body);
}

struct staged_mail {
    bool registered = true;
    bool launcher = true;
    bool opens = true;
    std::vector<std::string> opened;
    mail_environment environment() {
        return {[this] { return registered; }, [this] { return launcher; },
                [this](const std::string& url) {
                    opened.push_back(url);
                    return opens;
                }};
    }
};

void expect_single_box(const box_recorder& recorder, std::string_view text) {
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].text, text);
    EXPECT_EQ(recorder.boxes[0].title, "Error");
}

TEST(SendRecommendationMail, ShowsExactlyTheBoxOfTheFirstFailure) {
    const std::string body = recommendation_body();
    const struct {
        bool registered;
        bool launcher;
        std::string_view box;
        std::size_t opened;
    } failures[] = {
        {false, false, "Cannot load MAPI.DLL", 0},
        {true, false, "Cannot find MAPISendMail", 0},
        {true, true, "Cannot send message", 1},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.box);
        staged_mail mail;
        mail.registered = failure.registered;
        mail.launcher = failure.launcher;
        mail.opens = false;
        box_recorder boxes;
        send_recommendation_mail(recommendation_subject, body, boxes.hook(), mail.environment());
        expect_single_box(boxes, failure.box);
        EXPECT_EQ(mail.opened.size(), failure.opened);
    }
    {
        // A probe the caller left out counts as a failure, not as a crash.
        box_recorder boxes;
        send_recommendation_mail(recommendation_subject, body, boxes.hook(), mail_environment{});
        expect_single_box(boxes, "Cannot load MAPI.DLL");
    }
}

TEST(SendRecommendationMail, SuccessOpensTheComposeLinkAndShowsNoBox) {
    staged_mail mail;
    box_recorder boxes;
    const std::string body = recommendation_body();
    send_recommendation_mail(recommendation_subject, body, boxes.hook(), mail.environment());
    EXPECT_TRUE(boxes.boxes.empty());
    ASSERT_EQ(mail.opened.size(), 1u);
    EXPECT_EQ(mail.opened[0], mailto_url("Squeakbox", body));
}

TEST(SendRecommendationMail, InTheBackgroundAsksAwayFromTheCallerAndAnswersOnItsThread) {
    ensure_event_loop();
    const std::string body = recommendation_body();
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> release{false};
    std::atomic<bool> asked_on_caller{true};
    bool opened_on_caller = false;
    std::vector<std::string> opened;
    bool registered = true;
    // xdg-mime that takes its time: the caller must not wait for it.
    mail_environment slow{[&] {
                              asked_on_caller = std::this_thread::get_id() == caller;
                              while (!release) std::this_thread::sleep_for(1ms);
                              return registered;
                          },
                          [] { return true; },
                          [&](const std::string& url) {
                              opened_on_caller = std::this_thread::get_id() == caller;
                              opened.push_back(url);
                              return true;
                          }};
    background_job job;
    box_recorder boxes;
    ASSERT_TRUE(send_recommendation_mail_in_background(job, recommendation_subject, body,
                                                       boxes.hook(), slow));
    // A second click while the first is being prepared starts nothing.
    EXPECT_FALSE(send_recommendation_mail_in_background(job, recommendation_subject, body,
                                                        boxes.hook(), slow));
    release = true;
    ASSERT_TRUE(run_events_until([&] { return !job.busy(); }));
    EXPECT_FALSE(asked_on_caller);
    EXPECT_TRUE(opened_on_caller);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], mailto_url("Squeakbox", body));
    EXPECT_TRUE(boxes.boxes.empty());

    // The box of a failure comes on the caller's thread, as before.
    registered = false;
    ASSERT_TRUE(send_recommendation_mail_in_background(job, recommendation_subject, body,
                                                       boxes.hook(), slow));
    EXPECT_TRUE(boxes.boxes.empty());
    ASSERT_TRUE(run_events_until([&] { return !job.busy(); }));
    expect_single_box(boxes, "Cannot load MAPI.DLL");
    EXPECT_EQ(opened.size(), 1u);
}

}  // namespace
}  // namespace squeakbox
