#include "app/window/main_window.h"
#include "app/window/device_listing.h"

#include <QAction>
#include <QComboBox>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include "app/actions/links.h"
#include "app/window/string_table.h"
#include "app/window_language.h"
#include "audio/devices/pulse_sound_system.h"
#include "options/pitch_range.h"
#include "window_harness.h"

namespace squeakbox {
namespace {

using testing::device_table;
using testing::window_harness;

QString text(const main_window& w, control id) {
    QWidget* c = w.control_widget(id);
    if (auto* label = qobject_cast<QLabel*>(c)) return label->text();
    if (auto* button = qobject_cast<QPushButton*>(c)) return button->text();
    return {};
}

QComboBox* list(const main_window& w, control id) {
    return qobject_cast<QComboBox*>(w.control_widget(id));
}

void click(const main_window& w, control id) {
    qobject_cast<QPushButton*>(w.control_widget(id))->click();
}

// The window, shown, with what it posted at creation handled.
main_window& shown(window_harness& h, const window_setup& setup = {}) {
    main_window& w = h.build(setup);
    w.show();
    h.settle();
    return w;
}

// Presses the record button and lets the message it posts run.
void press_record(window_harness& h, const main_window& w) {
    click(w, control::record_button);
    h.settle();
}

// Two capture devices keep the window waiting for "Start!".
void needs_a_choice(window_harness& h) {
    h.devices.capture = {device_table::usable("Mic A"), device_table::usable("Mic B")};
}

TEST(MainWindow, NineteenControlsInOrderWithTheirPlacesTextsAndVisibility) {
    window_harness h;
    needs_a_choice(h);
    main_window& w = h.build();
    QWidget* top = w.widget();
    EXPECT_EQ(top->windowTitle().toStdString(), resource_string(string_id::window_title));
    EXPECT_EQ(top->objectName(), QStringLiteral("SQUEAKBOX"));
    EXPECT_EQ(top->size(), QSize(630, 750));
    EXPECT_EQ(top->minimumSize(), top->maximumSize());
    EXPECT_FALSE(top->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(top->windowFlags() & Qt::WindowMinimizeButtonHint);

    // Creation order is the order of the children.
    std::vector<QWidget*> children;
    for (QObject* child : top->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child)) children.push_back(widget);
    }
    ASSERT_EQ(children.size(), static_cast<std::size_t>(control_count));
    for (const control_layout& c : control_layouts) {
        QWidget* widget = w.control_widget(c.id);
        EXPECT_EQ(children[static_cast<std::size_t>(c.id)], widget) << c.name;
        EXPECT_EQ(widget->objectName().toStdString(), c.name);
        EXPECT_EQ(widget->pos(), QPoint(c.x, c.y)) << c.name;
        EXPECT_EQ(widget->width(), c.width) << c.name;
        if (c.kind != control_kind::device_list) {
            EXPECT_EQ(widget->height(), c.height) << c.name;
        }
        EXPECT_EQ(widget->isVisibleTo(top), c.visible_at_start) << c.name;
    }
    EXPECT_EQ(text(w, control::intro_label).toStdString(), resource_string(string_id::intro_label));
    EXPECT_EQ(text(w, control::homepage_label),
              QString::fromUtf8("Homepage besuchen f\u00fcr f\u00fcr tolle Windows Software!"));
    EXPECT_EQ(text(w, control::record_button), QStringLiteral("Aufnehmen"));
    EXPECT_EQ(text(w, control::recommend_button), QStringLiteral("Mail an Bekannten"));
    EXPECT_EQ(text(w, control::input_device_label), QStringLiteral("Mikrofon von"));
    EXPECT_EQ(text(w, control::output_device_label), QStringLiteral("Sound Ausgabe an"));
    EXPECT_EQ(text(w, control::start_button), QStringLiteral("Start!"));
    EXPECT_EQ(text(w, control::pitch_down_button), QStringLiteral("<"));
    EXPECT_EQ(text(w, control::pitch_up_button), QStringLiteral(">"));
    // The label already shows the pitch while it is hidden.
    EXPECT_EQ(text(w, control::pitch_label), QStringLiteral("Pitch: 6"));
    EXPECT_FALSE(list(w, control::input_device_list)->isEditable());
    EXPECT_FALSE(
        qobject_cast<QPushButton*>(w.control_widget(control::banner_button))->icon().isNull());
}

// The text a control shows, and how much of its width the text needs and gets.
struct text_room {
    QString text;
    int needed = 0;
    int room = 0;
};

text_room room_for(QWidget* c, const QString& entry = {}) {
    const QFontMetrics metrics = c->fontMetrics();
    if (auto* label = qobject_cast<QLabel*>(c))
        return {label->text(), metrics.horizontalAdvance(label->text()),
                label->contentsRect().width()};
    if (auto* button = qobject_cast<QPushButton*>(c)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect inside =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        return {button->text(), metrics.horizontalAdvance(button->text()), inside.width()};
    }
    if (auto* box = qobject_cast<QComboBox*>(c)) {
        QStyleOptionComboBox option;
        option.initFrom(box);
        const QRect inside = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                          QStyle::SC_ComboBoxEditField, box);
        const QString shown = entry.isEmpty() ? box->currentText() : entry;
        return {shown, metrics.horizontalAdvance(shown), inside.width()};
    }
    return {};
}

// German desktops get the window as it has always read, every other desktop
// an English one; in both every control has a text, and none is cut off in
// the fixed layout, the widest pitch and the microphone for calls included.
TEST(MainWindow, SpeaksTheDesktopsLanguageAndEveryTextFits) {
    const struct {
        const char* locale;
        window_language language;
    } desktops[] = {{"de_DE", window_language::german},  {"de_AT", window_language::german},
                    {"de_CH", window_language::german},  {"en_US", window_language::english},
                    {"en_GB", window_language::english}, {"fr_FR", window_language::english},
                    {"C", window_language::english}};
    const std::pair<control, const char*> german_texts[] = {
        {control::intro_label,
         "Aktivieren Sie Ihr Mikrofon und h\u00f6ren Sie Ihre lustige Stimme!"},
        {control::apps_label, "Homepage besuchen f\u00fcr tolle Apps!"},
        {control::homepage_label, "Homepage besuchen f\u00fcr f\u00fcr tolle Windows Software!"},
        {control::homepage_button, "Squeakbox-Anleitung"},
        {control::recommend_label, "Empfehlen Sie Squeakbox an Bekannte"},
        {control::recommend_button, "Mail an Bekannten"},
        {control::record_label, "Speichern Sie eine Aufnahme auf dem Desktop"},
        {control::record_button, "Aufnehmen"},
        {control::input_device_label, "Mikrofon von"},
        {control::output_device_label, "Sound Ausgabe an"},
    };
    const QString call_mic = QString::fromUtf8(pulse_sound_system::virtual_mic_label);
    for (const auto& desktop : desktops) {
        SCOPED_TRACE(desktop.locale);
        const window_language language = language_of(QLocale(QString::fromLatin1(desktop.locale)));
        EXPECT_EQ(language, desktop.language);
        const window_translation translation(language);
        ASSERT_TRUE(translation.loaded());
        window_harness h;
        needs_a_choice(h);
        h.devices.playback.push_back(device_table::usable(pulse_sound_system::virtual_mic_label));
        h.hear_yourself = [](bool) { return true; };
        window_setup setup;
        setup.pitch_semitones = min_pitch_semitones;  // the longest pitch label
        main_window& w = h.build(setup);

        for (const control_layout& c : control_layouts) {
            if (c.kind == control_kind::level_box || c.kind == control_kind::bitmap_button)
                continue;
            const text_room r = room_for(w.control_widget(c.id));
            EXPECT_FALSE(r.text.trimmed().isEmpty()) << c.name;
            EXPECT_LE(r.needed, r.room) << c.name << ": " << r.text.toStdString();
        }
        auto* outputs = list(w, control::output_device_list);
        ASSERT_EQ(outputs->count(), 2);
        const text_room mic = room_for(outputs, outputs->itemText(1));
        EXPECT_LE(mic.needed, mic.room) << mic.text.toStdString();
        const QAction* latency = w.widget()->actions().front();
        const QAction* hear_yourself = w.widget()->actions().at(1);

        if (language == window_language::german) {
            for (const auto& [id, german] : german_texts)
                EXPECT_EQ(text(w, id), QString::fromUtf8(german)) << static_cast<int>(id);
            EXPECT_EQ(mic.text, call_mic);
            EXPECT_EQ(latency->text(), QStringLiteral("Geringe Latenz"));
            EXPECT_EQ(hear_yourself->text(), QString::fromUtf8("Mith\u00f6ren"));
            EXPECT_EQ(
                latency->toolTip(),
                QString::fromUtf8("K\u00fcrzere Verz\u00f6gerung der Stimme, etwas weniger glatt"));
        } else {
            // No German text is left behind when one changes or is added.
            for (const auto& [id, german] : german_texts)
                EXPECT_NE(text(w, id), QString::fromUtf8(german)) << static_cast<int>(id);
            EXPECT_EQ(text(w, control::record_button), QStringLiteral("Record"));
            EXPECT_EQ(text(w, control::input_device_label), QStringLiteral("Microphone"));
            EXPECT_NE(mic.text, call_mic);
            EXPECT_NE(latency->text(), QStringLiteral("Geringe Latenz"));
            EXPECT_EQ(hear_yourself->text(), QStringLiteral("Hear yourself"));
            // The mail to a friend is written in English too, to the link.
            const std::string mail = resource_string(string_id::mail_body);
            EXPECT_TRUE(
                mail.starts_with("This recommendation was made by the program "
                                 "\"Squeakbox\".\n\r\n\r \"Squeakbox\" changes"))
                << mail;
            EXPECT_NE(mail.find("All you need is a microphone."), std::string::npos) << mail;
            EXPECT_TRUE(mail.ends_with(" at " + homepage_link() + "\n\r\n\r")) << mail;
        }
        // The same in both: the title, the start button and the pitch label.
        EXPECT_EQ(w.widget()->windowTitle().toStdString(),
                  resource_string(string_id::window_title));
        EXPECT_EQ(text(w, control::start_button), QStringLiteral("Start!"));
        EXPECT_EQ(text(w, control::pitch_label), QStringLiteral("Pitch: -47"));
    }
    // With the translation gone, the window is German again.
    window_harness h;
    EXPECT_EQ(text(h.build(), control::record_button), QStringLiteral("Aufnehmen"));
}

TEST(MainWindow, EngineIsSetUpOnceInOrderWithTheStartPitch) {
    window_harness h;
    window_setup setup;
    setup.pitch_semitones = -3;
    main_window& w = h.build(setup);
    EXPECT_EQ(h.pitch.calls,
              (std::vector<std::string>{"channels 1", "rate 44100", "block 1024", "pitch -3"}));
    EXPECT_EQ(text(w, control::pitch_label), QStringLiteral("Pitch: -3"));
}

TEST(MainWindow, LowLatencyAndBypassFromTheCommandLineTheirKeysAndTheContextMenu) {
    window_harness h;
    window_setup setup;
    setup.low_latency = true;
    main_window& w = h.build(setup);
    EXPECT_EQ(h.pitch.calls.back(), "latency low");
    EXPECT_TRUE(w.low_latency());
    w.show();
    h.settle();
    // Ctrl+L works wherever the focus is in the window, also on a control.
    w.control_widget(control::record_button)->setFocus();
    h.settle();
    QTest::keyClick(w.control_widget(control::record_button), Qt::Key_L, Qt::ControlModifier);
    h.settle();
    EXPECT_FALSE(w.low_latency());
    EXPECT_EQ(h.pitch.calls.back(), "latency normal");
    // The window's context menu holds the same switch, showing its state.
    QWidget* top = w.widget();
    ASSERT_EQ(top->contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_EQ(top->actions().size(), 4);
    QAction* entry = top->actions().front();
    EXPECT_FALSE(entry->isChecked());
    entry->trigger();
    EXPECT_TRUE(w.low_latency());
    EXPECT_TRUE(entry->isChecked());
    EXPECT_EQ(h.pitch.calls.back(), "latency low");

    // The bypass the same way: Ctrl+B on a control, and its menu entry.
    EXPECT_FALSE(w.bypass());
    QTest::keyClick(w.control_widget(control::record_button), Qt::Key_B, Qt::ControlModifier);
    h.settle();
    EXPECT_TRUE(w.bypass());
    EXPECT_EQ(h.pitch.calls.back(), "bypass on");
    QAction* bypass_entry = top->actions().at(1);
    EXPECT_TRUE(bypass_entry->isChecked());
    bypass_entry->trigger();
    EXPECT_FALSE(w.bypass());
    EXPECT_EQ(h.pitch.calls.back(), "bypass off");
    window_harness started_bypassed;
    window_setup bypassed;
    bypassed.bypass = true;
    EXPECT_TRUE(started_bypassed.build(bypassed).bypass());
    EXPECT_EQ(started_bypassed.pitch.calls.back(), "bypass on");
}

// Hearing yourself sits beside the latency in the context menu where a sound
// server can do it; a refusal leaves it off. The delay shows in the window's
// tool tip once the sound runs.
TEST(MainWindow, HearingYourselfAndTheDelayInTheContextMenuAndTheToolTip) {
    window_harness h;
    std::vector<bool> asked;
    bool refuse = false;
    h.hear_yourself = [&](bool on) {
        asked.push_back(on);
        return !refuse;
    };
    h.delay = [] { return std::optional<sound_delay>(sound_delay{21.4, 140.3}); };
    window_setup setup;
    setup.hear_yourself = true;
    main_window& w = h.build(setup);
    EXPECT_EQ(asked, std::vector<bool>{true});
    EXPECT_TRUE(w.hearing_yourself());
    // Next to the low-latency entry, before the bypass and the voice.
    ASSERT_EQ(w.widget()->actions().size(), 5);
    QAction* entry = w.widget()->actions().at(1);
    EXPECT_EQ(entry->text(), QString::fromUtf8("Mith\u00f6ren"));
    EXPECT_TRUE(entry->isChecked());
    entry->trigger();
    EXPECT_FALSE(w.hearing_yourself());
    refuse = true;
    entry->trigger();
    EXPECT_FALSE(w.hearing_yourself());
    EXPECT_FALSE(entry->isChecked());
    EXPECT_EQ(asked, (std::vector<bool>{true, false, true}));

    EXPECT_TRUE(w.delay_text().isEmpty()) << "a delay before the sound runs";
    w.show();
    h.settle();
    QTest::mouseClick(w.control_widget(control::start_button), Qt::LeftButton);
    h.settle();
    ASSERT_EQ(w.stream_state(), 1);
    EXPECT_EQ(w.delay_text(), QString::fromUtf8("Verz\u00f6gerung: 162 ms"));
    EXPECT_TRUE(h.run_until([&] { return w.widget()->toolTip() == w.delay_text(); }, 3000));
}

TEST(MainWindow, VoiceAndTimbreFromTheCommandLineCtrlNAndTheContextMenu) {
    window_harness h;
    window_setup setup;
    setup.natural_voice = true;
    setup.timbre_semitones = -3;
    main_window& w = h.build(setup);
    const auto& calls = h.pitch.calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "voice natural"), 1);
    EXPECT_EQ(calls.back(), "timbre -3");
    EXPECT_TRUE(w.natural_voice());
    w.show();
    h.settle();
    w.control_widget(control::record_button)->setFocus();
    h.settle();
    QTest::keyClick(w.control_widget(control::record_button), Qt::Key_N, Qt::ControlModifier);
    h.settle();
    EXPECT_FALSE(w.natural_voice());
    EXPECT_EQ(calls.back(), "voice squeak");
    // The context menu: the voice's switch, then the timbre's submenu with
    // one exclusive entry a semitone, the one in force checked.
    const QList<QAction*> entries = w.widget()->actions();
    ASSERT_EQ(entries.size(), 4);
    entries[2]->trigger();
    EXPECT_TRUE(w.natural_voice());
    EXPECT_EQ(calls.back(), "voice natural");
    ASSERT_NE(entries[3]->menu(), nullptr);
    const QList<QAction*> timbres = entries[3]->menu()->actions();
    ASSERT_EQ(timbres.size(), 25);
    QAction* checked = nullptr;
    QAction* plus_four = nullptr;
    for (QAction* t : timbres) {
        if (t->isChecked()) checked = t;
        if (t->data().toInt() == 4) plus_four = t;
    }
    ASSERT_NE(checked, nullptr);
    EXPECT_EQ(checked->data().toInt(), -3);
    ASSERT_NE(plus_four, nullptr);
    plus_four->trigger();
    EXPECT_EQ(w.timbre_semitones(), 4);
    EXPECT_EQ(calls.back(), "timbre 4");
    EXPECT_TRUE(plus_four->isChecked());
    EXPECT_FALSE(checked->isChecked());
}

TEST(MainWindow, StartPitchOutsideTheEnginesRangeIsBroughtWithin) {
    for (int asked : {-200, 200}) {
        window_harness h;
        window_setup setup;
        setup.pitch_semitones = asked;
        main_window& w = h.build(setup);
        EXPECT_EQ(w.pitch_semitones(), asked < 0 ? -47 : 47);
        EXPECT_EQ(h.pitch.semitones, asked < 0 ? -47 : 47);
    }
}

TEST(MainWindow, StartHidesTheChoiceAndShowsThePitchControls) {
    window_harness h;
    needs_a_choice(h);
    main_window& w = shown(h);
    EXPECT_EQ(h.stream->opens, 0);
    click(w, control::start_button);
    EXPECT_EQ(h.stream->opens, 1);
    EXPECT_EQ(w.stream_state(), 1);
    for (control id :
         {control::start_button, control::input_device_list, control::output_device_list,
          control::input_device_label, control::output_device_label}) {
        EXPECT_FALSE(w.control_widget(id)->isVisible()) << static_cast<int>(id);
    }
    for (control id : {control::pitch_down_button, control::pitch_up_button, control::pitch_label,
                       control::level_meter_box}) {
        EXPECT_TRUE(w.control_widget(id)->isVisible()) << static_cast<int>(id);
    }
    EXPECT_TRUE(h.boxes.empty());
    // The stream is opened once in a run, however often Start arrives.
    click(w, control::start_button);
    EXPECT_EQ(h.stream->opens, 1);
}

TEST(MainWindow, StartsByItselfOnlyWhenThereIsNothingToChoose) {
    const struct {
        int inputs, outputs;
        bool start_at_once;
        bool starts;
        bool virtual_mic = false;  // one more output: the microphone for calls
    } cases[] = {{0, 0, false, true}, {1, 1, false, true},       {1, 0, false, true},
                 {0, 1, false, true}, {2, 1, false, false},      {1, 2, false, false},
                 {2, 2, true, true},  {1, 1, false, true, true}, {1, 2, false, false, true}};
    for (const auto& c : cases) {
        window_harness h;
        h.devices.capture.clear();
        h.devices.playback.clear();
        for (int i = 0; i < c.inputs; ++i) h.devices.capture.push_back(device_table::usable("in"));
        for (int i = 0; i < c.outputs; ++i)
            h.devices.playback.push_back(device_table::usable("out"));
        if (c.virtual_mic)
            h.devices.playback.push_back(
                device_table::usable(pulse_sound_system::virtual_mic_label));
        window_setup setup;
        setup.start_at_once = c.start_at_once;
        main_window& w = h.build(setup);
        // Posted: nothing happens until the loop runs.
        EXPECT_EQ(h.stream->opens, 0);
        w.show();
        h.settle();
        EXPECT_EQ(h.stream->opens, c.starts ? 1 : 0) << c.inputs << " in, " << c.outputs << " out";
        EXPECT_EQ(w.control_widget(control::start_button)->isVisible(), !c.starts);
    }
}

TEST(MainWindow, ListsOnlyDevicesWithTheFormatAndCarryTheirNumbers) {
    window_harness h;
    h.devices.capture = {device_table::unusable("Old Mic"), device_table::usable("USB Mic"),
                         device_table::usable("Broken Mic"), device_table::usable("Line In")};
    h.devices.unreadable_capture = {2};
    h.devices.playback = {device_table::usable("Speakers"), device_table::unusable("Modem"),
                          device_table::usable("Headset")};
    main_window& w = h.build();
    QComboBox* in = list(w, control::input_device_list);
    ASSERT_EQ(in->count(), 2);
    EXPECT_EQ(in->itemText(0), QStringLiteral("USB Mic"));
    EXPECT_EQ(in->itemText(1), QStringLiteral("Line In"));
    EXPECT_EQ(in->currentIndex(), 0);
    EXPECT_EQ(in->itemData(0).toUInt(), 1u);
    EXPECT_EQ(in->itemData(1).toUInt(), 3u);
    QComboBox* out = list(w, control::output_device_list);
    ASSERT_EQ(out->count(), 2);
    EXPECT_EQ(out->itemData(1).toUInt(), 2u);
    // Start opens the device numbers of the chosen entries; with none chosen,
    // the first entry's.
    in->setCurrentIndex(1);
    out->setCurrentIndex(-1);
    click(w, control::start_button);
    EXPECT_EQ(h.stream->opened_devices, (std::pair<std::uint32_t, std::uint32_t>{3, 0}));
}

// Devices that come and go: a headset plugged in before Start joins the
// lists and the entry chosen stays chosen; the moves the server's devices
// make while the voice runs are told on the top line, not in a box, and are
// no failure of the run. None is lost when several come at once.
TEST(MainWindow, DevicesThatComeAndGoJoinTheListsAndTheirMovesAreToldOnTheTopLine) {
    window_harness h;
    needs_a_choice(h);
    bool plugged = false;
    h.refresh_devices = [&] { return std::exchange(plugged, false); };
    std::vector<std::string> news;
    h.route_news = [&](std::uint64_t& seen) {
        std::vector<std::string> lines(news.begin() + static_cast<std::ptrdiff_t>(seen),
                                       news.end());
        seen = news.size();
        return lines;
    };
    main_window& w = shown(h);
    QComboBox* in = list(w, control::input_device_list);
    in->setCurrentIndex(1);
    h.devices.capture = {device_table::usable("Headset Mic"), device_table::usable("Mic A"),
                         device_table::usable("Mic B")};
    plugged = true;
    ASSERT_TRUE(h.run_until([&] { return in->count() == 3; }, 2000));
    EXPECT_EQ(in->itemText(0), QStringLiteral("Headset Mic"));
    EXPECT_EQ(in->currentText(), QStringLiteral("Mic B"));
    EXPECT_EQ(in->currentData().toUInt(), 2u);

    click(w, control::start_button);
    news = {"The output \"Speakers\" is gone; using \"Headset\" meanwhile",
            "The output \"Speakers\" is back"};
    ASSERT_TRUE(h.run_until(
        [&] {
            return text(w, control::intro_label) ==
                   QStringLiteral("The output \"Speakers\" is back");
        },
        2000));
    EXPECT_TRUE(h.boxes.empty());
    EXPECT_EQ(w.exit_code(), 0);
}

TEST(MainWindow, EmptyListsHaveNoSelection) {
    window_harness h;
    h.devices.capture.clear();
    h.devices.playback = {device_table::unusable("Modem")};
    main_window& w = h.build();
    EXPECT_EQ(list(w, control::input_device_list)->count(), 0);
    EXPECT_EQ(list(w, control::input_device_list)->currentIndex(), -1);
    EXPECT_EQ(list(w, control::output_device_list)->count(), 0);
    // An empty list means the first device of its kind.
    w.show();
    h.settle();
    EXPECT_EQ(h.stream->opened_devices, (std::pair<std::uint32_t, std::uint32_t>{0, 0}));
}

TEST(MainWindow, DevicesChosenByNameAndStartedAtOnce) {
    window_harness h;
    h.devices.capture = {device_table::usable("Mic A"), device_table::usable("Mic B")};
    h.devices.playback = {device_table::usable("Speakers"),
                          device_table::usable("USB Headset (hw:2,0)")};
    window_setup setup;
    setup.input_device = "Mic B";
    setup.output_device = "usb headset";
    setup.start_at_once = true;
    main_window& w = h.build(setup);
    EXPECT_EQ(list(w, control::input_device_list)->currentIndex(), 1);
    EXPECT_EQ(list(w, control::output_device_list)->currentIndex(), 1);
    w.show();
    h.settle();
    EXPECT_EQ(h.stream->opens, 1);
    EXPECT_EQ(h.stream->opened_devices, (std::pair<std::uint32_t, std::uint32_t>{1, 1}));
}

// Naming a device on the command line: what the sound server calls it or
// what the desktop shows, "default" and "pulse" for the server's default, an
// exact name before any partial one.
TEST(DeviceChoice, ByDescriptionServerNameOrDefault) {
    const std::vector<listed_device> server = {
        {0, "Built-in Audio Analog Stereo", "alsa_output.pci-0000_00_1f.3.analog-stereo", true},
        {1, "USB Headset", "alsa_output.usb-Logitech_Headset-00.analog-stereo", false},
        {2, "Squeakbox-Mikrofon (für Anrufe)", "squeakbox_mic", false},
        {3, "Mic", "mic_1", false},
        {4, "Mic 2", "mic_2", false},
    };
    const std::vector<listed_device> alsa = {{0, "hw:0,0"}, {1, "pulse"}, {2, "default"}};
    const struct {
        const std::vector<listed_device>& list;
        std::string_view name;
        int index;  // -1: an error that names `mentions`
        std::string_view mentions;
    } cases[] = {
        {server, "default", 0, ""},
        {server, "pulse", 0, ""},
        {server, "USB Headset", 1, ""},
        {server, "alsa_output.usb-Logitech_Headset-00.analog-stereo", 1, ""},
        {server, "logitech", 1, ""},
        {server, "squeakbox", 2, ""},
        {server, "Mic", 3, ""},  // exact, though "Mic 2" contains it too
        {server, "mic_", -1, "\"Mic 2\""},
        {server, "analog", -1, "\"USB Headset\""},
        {server, "Speakers", -1, "no device called \"Speakers\""},
        {alsa, "pulse", 1, ""},  // an ALSA device of that name stays itself
        {alsa, "default", 2, ""},
    };
    for (const auto& c : cases) {
        const device_match match = find_device(c.list, c.name);
        EXPECT_EQ(match.index, c.index) << c.name;
        if (c.index < 0) {
            EXPECT_NE(match.error.find(c.mentions), std::string::npos) << match.error;
        }
    }
}

TEST(MainWindow, PitchButtonsMoveOneSemitoneAndStopAtTheEnginesBounds) {
    window_harness h;
    main_window& w = shown(h);
    for (int i = 0; i < 5; ++i) click(w, control::pitch_up_button);
    EXPECT_EQ(text(w, control::pitch_label), QStringLiteral("Pitch: 11"));
    EXPECT_EQ(h.pitch.semitones, 11);
    for (int i = 0; i < 12; ++i) click(w, control::pitch_down_button);
    EXPECT_EQ(text(w, control::pitch_label), QStringLiteral("Pitch: -1"));
    EXPECT_EQ(h.pitch.semitones, -1);

    for (int i = 0; i < 60; ++i) click(w, control::pitch_down_button);
    EXPECT_EQ(w.pitch_semitones(), -47);
    EXPECT_EQ(text(w, control::pitch_label), QStringLiteral("Pitch: -47"));
    EXPECT_EQ(h.pitch.semitones, -47);
    const auto calls = h.pitch.calls.size();
    click(w, control::pitch_down_button);
    EXPECT_EQ(h.pitch.calls.size(), calls);  // nothing more for the engine
    for (int i = 0; i < 100; ++i) click(w, control::pitch_up_button);
    EXPECT_EQ(text(w, control::pitch_label), QStringLiteral("Pitch: 47"));
    EXPECT_EQ(h.pitch.semitones, 47);
}

TEST(MainWindow, FailedStartShowsItsBoxAndKeepsTheRunningLayout) {
    const struct {
        int result;
        const char* text;
    } cases[] = {{-1, "Error initializing microphone"}, {-2, "Error initializing sound output"}};
    for (const auto& c : cases) {
        window_harness h;
        main_window& w = h.build();
        h.stream->open_result = c.result;
        w.show();
        h.settle();
        EXPECT_EQ(w.stream_state(), c.result);
        ASSERT_EQ(h.boxes.size(), 1u);
        EXPECT_EQ(h.boxes[0].text, c.text);
        EXPECT_EQ(h.boxes[0].title, "Error");
        EXPECT_FALSE(w.control_widget(control::input_device_list)->isVisible());
        EXPECT_TRUE(w.control_widget(control::pitch_label)->isVisible());
        // A failed open is not retried.
        h.settle();
        EXPECT_EQ(h.stream->opens, 1);
        // There is nothing to record, and the box says so rather than blame
        // the desktop folder.
        press_record(h, w);
        ASSERT_EQ(h.boxes.size(), 2u);
        EXPECT_EQ(h.boxes[1].text, "Cannot open recording file: the sound is not running");
        EXPECT_EQ(h.boxes[1].title, "Error");
        EXPECT_EQ(h.recorder.opens, 0);
        EXPECT_EQ(text(w, control::record_button), QStringLiteral("Aufnehmen"));
        EXPECT_EQ(w.exit_code(), 1);
    }
}

TEST(MainWindow, UnwatchedRunEndsWhenTheSoundCannotStart) {
    for (bool unwatched : {false, true}) {
        window_harness h;
        window_setup setup;
        setup.close_on_failed_start = unwatched;
        main_window& w = h.build(setup);
        h.stream->open_result = -1;
        w.show();
        h.settle();
        EXPECT_EQ(h.boxes.size(), 1u);
        EXPECT_EQ(w.is_destroyed(), unwatched);
        EXPECT_EQ(h.quits, unwatched ? 1 : 0);
    }
}

// The class icon is painted beside the pitch buttons only while sound runs;
// its orange arrow is a colour nothing else in the window has.
bool icons_painted(const main_window& w) {
    const QImage image = w.widget()->grab().toImage();
    int orange = 0;
    for (const point& at : running_icon_positions) {
        for (int y = at.y; y < at.y + 32; ++y) {
            for (int x = at.x; x < at.x + 32; ++x) {
                const QColor c = image.pixelColor(x, y);
                orange += c.red() > 220 && c.green() > 120 && c.green() < 190 && c.blue() < 90;
            }
        }
    }
    return orange > 20;
}

TEST(MainWindow, IconsPaintedOnlyWhileTheStreamRuns) {
    for (int result : {1, -1, -2}) {
        window_harness h;
        needs_a_choice(h);
        main_window& w = shown(h);
        EXPECT_FALSE(icons_painted(w));
        h.stream->open_result = result;
        click(w, control::start_button);
        h.settle();
        EXPECT_EQ(icons_painted(w), result == 1) << result;
    }
}

TEST(MainWindow, ButtonsPostTheirMessagesToRunAfterTheClick) {
    window_harness h;
    needs_a_choice(h);
    main_window& w = shown(h);
    click(w, control::recommend_button);
    click(w, control::homepage_button);
    click(w, control::apps_button);
    EXPECT_TRUE(h.actions.empty());  // posted, not yet run
    h.settle();
    EXPECT_EQ(h.actions, (std::vector<std::string>{"mail", "homepage", "apps"}));
    // The banner acts at once, with the link of its kind.
    click(w, control::banner_button);
    EXPECT_EQ(h.actions.back(), "banner 4");
}

TEST(MainWindow, AcceleratorCopiesOnlyWhileTheWindowItselfHasTheFocus) {
    window_harness h;
    needs_a_choice(h);
    main_window& w = h.build();
    w.show();
    QWidget* top = w.widget();
    top->activateWindow();
    top->setFocus();
    h.settle();
    ASSERT_TRUE(top->hasFocus());
    QTest::keyClick(top, Qt::Key_Slash, Qt::AltModifier);
    h.settle();
    ASSERT_EQ(h.actions, (std::vector<std::string>{"copy"}));
    QTest::keyClick(top, Qt::Key_Question, Qt::AltModifier);
    h.settle();
    EXPECT_EQ(h.actions.size(), 2u);
    // With a button focused the keys do nothing.
    w.control_widget(control::record_button)->setFocus();
    h.settle();
    QTest::keyClick(w.control_widget(control::record_button), Qt::Key_Slash, Qt::AltModifier);
    h.settle();
    EXPECT_EQ(h.actions.size(), 2u);
}

TEST(MainWindow, DeviceFailuresAreToldAndEndTheRunWithStatusOne) {
    // A device that fails, or refuses a call, is told in a box, and the run
    // ends with status 1. Other boxes (a mail that could not be sent) leave
    // the sound's status alone, whatever their title says: the stream's own
    // word decides.
    for (const bool refused_call : {false, true}) {
        window_harness fresh;
        main_window& window = fresh.build();
        window.message_box("No mail program", "Error");
        window.message_box("No mail program", "error");
        EXPECT_EQ(window.exit_code(), 0);
        if (refused_call) {
            ASSERT_NE(fresh.stream, nullptr);
            fresh.stream->refused_calls = true;
        } else {
            window.device_failed("the disk is full");
            fresh.settle();
            ASSERT_EQ(fresh.boxes.size(), 3u);
            EXPECT_EQ(fresh.boxes[2].text, "The sound device failed: the disk is full");
        }
        EXPECT_EQ(window.exit_code(), 1) << refused_call;
    }
}

TEST(MainWindow, CloseBeforeStartOrAfterAFailedStartEndsAtOnce) {
    for (int result : {0, -1, -2}) {
        window_harness h;
        needs_a_choice(h);
        main_window& w = shown(h);
        if (result != 0) {
            h.stream->open_result = result;
            click(w, control::start_button);
        }
        w.request_close();
        EXPECT_EQ(h.stream->stop_requests, 1);
        EXPECT_TRUE(w.is_destroyed()) << result;
        EXPECT_FALSE(w.widget()->isVisible());
        EXPECT_EQ(h.quits, 1);
    }
}

TEST(MainWindow, CloseWhileRunningWaitsForTheDevicesToDrain) {
    window_harness h;
    h.mixer.value = 0;
    main_window& w = shown(h);
    ASSERT_EQ(w.stream_state(), 1);
    h.mixer.value = 1;  // what a running stream's mute leaves
    h.monitor_mute.save_and_mute();

    w.request_close();
    EXPECT_EQ(h.stream->stop_requests, 1);
    EXPECT_FALSE(w.is_destroyed());
    EXPECT_TRUE(w.widget()->isVisible());
    // A second close during the stop asks again and is held again.
    w.request_close();
    EXPECT_EQ(h.stream->stop_requests, 2);
    EXPECT_FALSE(w.is_destroyed());

    h.stream->finish_draining();
    EXPECT_FALSE(w.is_destroyed());  // the final close is queued, not sent
    h.settle();
    EXPECT_TRUE(w.is_destroyed());
    EXPECT_FALSE(w.widget()->isVisible());
    EXPECT_EQ(h.quits, 1);
    // The mute found before the run is put back.
    EXPECT_EQ(h.mixer.value, 1u);
}

TEST(MainWindow, StopDeadlineReachesTheStream) {
    window_harness h;
    main_window& w = h.build();
    w.start_stop_deadline(std::chrono::milliseconds(5));
    EXPECT_TRUE(window_harness::run_until([&] { return h.stream->deadline_calls == 1; }));
}

TEST(MainWindow, CaptureEndClosesOnlyWhenAsked) {
    for (bool close_at_end : {false, true}) {
        window_harness h;
        window_setup setup;
        setup.close_at_capture_end = close_at_end;
        main_window& w = shown(h, setup);
        w.capture_ended();
        h.settle();
        EXPECT_EQ(h.stream->stop_requests, close_at_end ? 1 : 0);
        if (!close_at_end) continue;
        EXPECT_FALSE(w.is_destroyed());  // through the same handshake as the close button
        h.stream->finish_draining();
        h.settle();
        EXPECT_TRUE(w.is_destroyed());
    }
}

TEST(MainWindow, RecordingStartsAndStopsFromTheButton) {
    window_harness h;
    main_window& w = shown(h);
    click(w, control::record_button);
    EXPECT_FALSE(w.is_recording());  // posted
    h.settle();
    EXPECT_TRUE(w.is_recording());
    EXPECT_EQ(h.recorder.opened_name, "/desktop/Squeakbox Record.wav");
    EXPECT_EQ(text(w, control::record_button), QStringLiteral("Stop"));

    press_record(h, w);
    EXPECT_FALSE(w.is_recording());
    EXPECT_EQ(h.recorder.closes, 1);
    EXPECT_EQ(h.recorder.background_closes, 1);  // the sound goes on meanwhile
    EXPECT_EQ(text(w, control::record_button), QStringLiteral("Aufnehmen"));
    EXPECT_TRUE(h.boxes.empty());
    EXPECT_EQ(w.exit_code(), 0);
}

TEST(MainWindow, RecordingThatCannotOpenSaysWhyAndKeepsItsCaption) {
    window_harness h;
    needs_a_choice(h);
    main_window& w = shown(h);
    // Before Start there is no file name yet.
    press_record(h, w);
    ASSERT_EQ(h.boxes.size(), 1u);
    EXPECT_EQ(h.boxes[0].title, "Error");
    EXPECT_TRUE(h.boxes[0].text.starts_with("Cannot open recording file")) << h.boxes[0].text;
    EXPECT_EQ(h.recorder.opens, 0);
    EXPECT_EQ(text(w, control::record_button), QStringLiteral("Aufnehmen"));
    EXPECT_EQ(w.exit_code(), 0);  // nothing was lost yet

    click(w, control::start_button);
    h.recorder.refuse = true;
    press_record(h, w);
    ASSERT_EQ(h.boxes.size(), 2u);
    EXPECT_EQ(h.boxes[1].text,
              "Cannot open recording file \"/desktop/Squeakbox Record.wav\": Permission denied");
    EXPECT_FALSE(w.is_recording());
    EXPECT_EQ(text(w, control::record_button), QStringLiteral("Aufnehmen"));
    EXPECT_EQ(w.exit_code(), 1);  // the recording asked for is lost
    // The next press tries again.
    h.recorder.refuse = false;
    press_record(h, w);
    EXPECT_TRUE(w.is_recording());
}

TEST(MainWindow, RecordingThatReachesTheSizeLimitEndsAndTellsTheUser) {
    window_harness h;
    main_window& w = shown(h);
    press_record(h, w);
    ASSERT_TRUE(w.is_recording());
    // The stream's block filled the file.
    w.recording_stopped(
        "/desktop/Squeakbox Record.wav: the recording reached the largest size a WAV file can "
        "hold");
    EXPECT_FALSE(w.is_recording());
    h.settle();
    EXPECT_EQ(text(w, control::record_button), QStringLiteral("Aufnehmen"));
    ASSERT_EQ(h.boxes.size(), 1u);
    EXPECT_EQ(h.boxes[0].text,
              "Recording stopped: /desktop/Squeakbox Record.wav: the recording reached the "
              "largest size a WAV file can hold");
    EXPECT_EQ(w.exit_code(), 1);
    // The next press starts a new recording.
    press_record(h, w);
    EXPECT_TRUE(w.is_recording());

    // A disk that fails while no block comes is heard of all the same.
    h.recorder.failure = "/desktop/Squeakbox Record.wav: No space left on device";
    ASSERT_TRUE(h.run_until([&] { return h.boxes.size() == 2; }));
    EXPECT_FALSE(w.is_recording());
    EXPECT_EQ(text(w, control::record_button), QStringLiteral("Aufnehmen"));
    EXPECT_EQ(h.boxes[1].text,
              "Recording stopped: /desktop/Squeakbox Record.wav: No space left on device");
}

TEST(MainWindow, RecordOptionStartsRecordingOnceTheStreamRuns) {
    for (int result : {1, -1}) {
        window_harness h;
        window_setup setup;
        setup.record_when_running = true;
        main_window& w = h.build(setup);
        h.stream->open_result = result;
        w.show();
        h.settle();
        EXPECT_EQ(w.is_recording(), result == 1);
    }
}

TEST(MainWindow, ClosingFinishesAnOpenRecordingAndRestoresTheMute) {
    window_harness h;
    main_window& w = shown(h);
    h.monitor_mute.save_and_mute();  // found 0, wrote 1
    press_record(h, w);
    ASSERT_TRUE(w.is_recording());
    w.request_close();
    h.stream->finish_draining();
    h.settle();
    ASSERT_TRUE(w.is_destroyed());
    EXPECT_EQ(h.recorder.closes, 1);
    EXPECT_EQ(h.recorder.background_closes, 0);  // the file is complete when the program ends
    EXPECT_EQ(h.mixer.value, 0u);
    EXPECT_EQ(text(w, control::record_button), QStringLiteral("Stop"));  // left as it was
}

TEST(MainWindow, WindowDestroyedWithoutACloseStillFinishesTheRecording) {
    window_harness h;
    {
        main_window& w = shown(h);
        press_record(h, w);
        ASSERT_TRUE(w.is_recording());
    }
    h.window.reset();
    EXPECT_EQ(h.recorder.closes, 1);
    EXPECT_EQ(h.quits, 0);
}

}  // namespace
}  // namespace squeakbox
