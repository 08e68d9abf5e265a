#include "tui_view.h"

#include "tui_test_access.h"

#include <ftxui/dom/node.hpp>
#include <ftxui/screen/screen.hpp>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using nmb::Tui;
using nmb::TuiTestAccess;
using nmb::detail::TuiView;
using ftxui::Event;

namespace {

// The screen of one frame, as text lines without styles and trailing spaces.
QStringList render_lines(TuiView& view, int width, int height, ftxui::Screen* out = nullptr)
{
    ftxui::Screen screen(width, height);
    ftxui::Render(screen, view.render());
    QString text = QString::fromStdString(screen.ToString());
    text.remove(QRegularExpression(QStringLiteral("\x1b\\[[0-9;?]*[A-Za-z]")));
    text.remove(QLatin1Char('\r'));
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        while (line.endsWith(QLatin1Char(' '))) {
            line.chop(1);
        }
    }
    if (out != nullptr) {
        *out = screen;
    }
    return lines;
}

void press(TuiView& view, const QList<Event>& keys)
{
    for (const Event& key : keys) {
        view.handle_event(key);
    }
}

// Row of the first line containing `needle`, or -1.
int row_of(const QStringList& lines, const QString& needle)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].contains(needle)) {
            return i;
        }
    }
    return -1;
}

} // namespace

class TestTuiView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { TuiTestAccess::reset(Tui::instance()); }

    void empty_registry_shows_both_empty_pages()
    {
        std::atomic<bool> quit{false};
        TuiView view(Tui::instance(), quit);
        const QStringList channel_page{
            "╭──────────────────────────────────────────────────────────╮",
            "│ TUI Probe Page: channel | Tab: channel/action | Esc: quit│",
            "├──────────────────────────────────────────────────────────┤",
            "│Channel menu                                              │",
            "├──────────────────────────────────────────────────────────┤",
            "│No channel registered yet.                                │",
            "├──────────────────────────────────────────────────────────┤",
            "│Up/Down: select channel | Tab: next page | Esc: quit      │",
            "╰──────────────────────────────────────────────────────────╯",
        };
        QCOMPARE(render_lines(view, 60, 9), channel_page);
        QVERIFY(view.handle_event(Event::Tab));
        const QStringList action_page{
            "╭──────────────────────────────────────────────────────────────────────╮",
            "│ TUI Probe              Page: action | Tab: channel/action | Esc: quit│",
            "├──────────────────────────────────────────────────────────────────────┤",
            "│Action menu                                                           │",
            "├──────────────────────────────────────────────────────────────────────┤",
            "│No action registered yet.                                             │",
            "├──────────────────────────────────────────────────────────────────────┤",
            "│Up/Down: select action | Enter: trigger | Tab: next page | Esc: quit  │",
            "╰──────────────────────────────────────────────────────────────────────╯",
        };
        QCOMPARE(render_lines(view, 72, 9), action_page);
    }

    void channel_page_shows_the_highlighted_channel()
    {
        Tui& tui = Tui::instance();
        tui.print("Reelcast.frame", "binary playback frame", "frame 1\ntimestamp 10\n");
        tui.print("Reelcast.error", "binary playback error", "");
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        const QStringList expected{
            "╭──────────────────────────────────────────────────────────╮",
            "│ TUI Probe Page: channel | Tab: channel/action | Esc: quit│",
            "├──────────────────────────────────────────────────────────┤",
            "│Channel menu                                              │",
            "├──────────────────────────────────────────────────────────┤",
            "│> Reelcast.error    binary playback error                 │",
            "│  Reelcast.frame    binary playback frame                 │",
            "├──────────────────────────────────────────────────────────┤",
            "│╭Reelcast.error  -  binary playback error────────────────╮│",
            "││                                                        ││",
            "│├────────────────────────────────────────────────────────┤│",
            "││update: 0.20 Hz                                         ││",
            "│╰────────────────────────────────────────────────────────╯│",
            "├──────────────────────────────────────────────────────────┤",
            "│Up/Down: select channel | Tab: next page | Esc: quit      │",
            "╰──────────────────────────────────────────────────────────╯",
        };
        QCOMPARE(render_lines(view, 60, 16), expected);

        // The block follows the highlight, without Enter.
        QVERIFY(view.handle_event(Event::ArrowDown));
        const QStringList lines = render_lines(view, 60, 17);
        QCOMPARE(lines.mid(5, 9), (QStringList{
            "│  Reelcast.error    binary playback error                 │",
            "│> Reelcast.frame    binary playback frame                 │",
            "├──────────────────────────────────────────────────────────┤",
            "│╭Reelcast.frame  -  binary playback frame────────────────╮│",
            "││frame 1                                                 ││",
            "││timestamp 10                                            ││",
            "│├────────────────────────────────────────────────────────┤│",
            "││update: 0.20 Hz                                         ││",
            "│╰────────────────────────────────────────────────────────╯│",
        }));
    }

    void message_lines_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("two lines each ended by a line feed")
            << "one\ntwo\n" << QStringList{"one", "two"};
        QTest::newRow("last line without line feed") << "one\ntwo" << QStringList{"one", "two"};
        QTest::newRow("empty message shows one empty line") << "" << QStringList{""};
        QTest::newRow("consecutive line feeds give empty lines")
            << "a\n\nb\n" << QStringList{"a", "", "b"};
        QTest::newRow("a lone line feed is one empty line") << "\n" << QStringList{""};
    }

    void message_lines()
    {
        QFETCH(QString, message);
        QFETCH(QStringList, shown);
        Tui::instance().print("c", "d", message.toStdString());
        std::atomic<bool> quit{false};
        TuiView view(Tui::instance(), quit);
        const QStringList lines = render_lines(view, 40, 15 + int(shown.size()));
        const int title = row_of(lines, "╭c  -  d");
        QVERIFY(title > 0);
        QStringList inside;
        for (int row = title + 1; !lines[row].startsWith("│├"); ++row) {
            inside << lines[row].mid(2, lines[row].size() - 4).trimmed();
        }
        QCOMPARE(inside, shown);
    }

    void update_rate_data()
    {
        QTest::addColumn<int>("prints");
        QTest::addColumn<QString>("shown");
        QTest::newRow("one print") << 1 << "update: 0.20 Hz";
        QTest::newRow("ten prints") << 10 << "update: 2.00 Hz";
        QTest::newRow("twelve prints") << 12 << "update: 2.40 Hz";
    }

    void update_rate()
    {
        QFETCH(int, prints);
        QFETCH(QString, shown);
        for (int i = 0; i < prints; ++i) {
            Tui::instance().print("c", "d", "m");
        }
        std::atomic<bool> quit{false};
        TuiView view(Tui::instance(), quit);
        const QStringList lines = render_lines(view, 40, 16);
        QVERIFY2(row_of(lines, "││" + shown + " ") > 0, qPrintable(lines.join('\n')));
    }

    void arrows_stop_at_the_ends_data()
    {
        QTest::addColumn<bool>("action_page");
        QTest::addColumn<QList<Event>>("keys");
        QTest::addColumn<QString>("highlighted");
        const QList<Event> up{Event::ArrowUp};
        const QList<Event> down_three{Event::ArrowDown, Event::ArrowDown, Event::ArrowDown};
        QTest::newRow("up on the first channel") << false << up << "> a ";
        QTest::newRow("down past the last channel") << false << down_three << "> c ";
        QTest::newRow("down past the end then up") << false
            << (down_three + QList<Event>{Event::ArrowUp}) << "> b ";
        QTest::newRow("up on the first action") << true << up << "> x ";
        QTest::newRow("down past the last action") << true << down_three << "> z ";
        QTest::newRow("down past the end of actions then up") << true
            << (down_three + QList<Event>{Event::ArrowUp}) << "> y ";
    }

    void arrows_stop_at_the_ends()
    {
        QFETCH(bool, action_page);
        QFETCH(QList<Event>, keys);
        QFETCH(QString, highlighted);
        Tui& tui = Tui::instance();
        for (const char* name : {"a", "b", "c"}) {
            tui.print(name, "channel", "m");
        }
        for (const char* id : {"x", "y", "z"}) {
            tui.register_action(id, "action");
        }
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        if (action_page) {
            view.handle_event(Event::Tab);
        }
        for (const Event& key : keys) {
            QVERIFY(view.handle_event(key)); // consumed even when nothing moves
        }
        const QStringList lines = render_lines(view, 80, 30);
        QCOMPARE(lines.filter("│> ").size(), 1);
        QVERIFY2(row_of(lines, "│" + highlighted) > 0, qPrintable(lines.join('\n')));
    }

    void enter_triggers_the_highlighted_action_once()
    {
        Tui& tui = Tui::instance();
        tui.register_action("Reelcast.pause", "pause binary playback");
        tui.register_action("Reelcast.play", "resume binary playback");
        tui.register_action("Reelcast.quit", "quit binary playback");
        QSignalSpy triggered(&tui, &Tui::action_triggered);
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        press(view, {Event::Tab, Event::ArrowDown});
        QVERIFY(view.handle_event(Event::Return));
        QCOMPARE(triggered.size(), 1);
        QCOMPARE(triggered.at(0).at(0).toString(), QStringLiteral("Reelcast.play"));
        const QStringList lines = render_lines(view, 76, 14);
        QCOMPARE(lines.mid(0, 6), (QStringList{
            "╭──────────────────────────────────────────────────────────────────────────╮",
            "│ TUI Probe                  Page: action | Tab: channel/action | Esc: quit│",
            "├──────────────────────────────────────────────────────────────────────────┤",
            "│status: triggered action: Reelcast.play                                   │",
            "├──────────────────────────────────────────────────────────────────────────┤",
            "│Action menu                                                               │",
        }));
        QVERIFY(!quit);
    }

    void enter_without_actions_does_nothing()
    {
        QSignalSpy triggered(&Tui::instance(), &Tui::action_triggered);
        std::atomic<bool> quit{false};
        TuiView view(Tui::instance(), quit);
        press(view, {Event::Tab});
        QVERIFY(view.handle_event(Event::Return));
        QCOMPARE(triggered.size(), 0);
        QCOMPARE(row_of(render_lines(view, 76, 9), "status:"), -1);
    }

    void enter_on_the_channel_page_reports_the_choice()
    {
        Tui& tui = Tui::instance();
        tui.print("a", "d", "m");
        tui.print("b", "d", "m");
        tui.register_action("x", "d");
        QSignalSpy triggered(&tui, &Tui::action_triggered);
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        press(view, {Event::ArrowDown, Event::Return});
        QCOMPARE(triggered.size(), 0);
        QVERIFY(row_of(render_lines(view, 76, 20), "│status: selected channel: b ") > 0);
    }

    void tab_clears_the_status_row_and_keeps_each_highlight()
    {
        Tui& tui = Tui::instance();
        tui.print("a", "d", "m");
        tui.print("b", "d", "m");
        tui.register_action("x", "d");
        tui.register_action("y", "d");
        tui.register_action("z", "d");
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        press(view, {Event::ArrowDown, Event::Tab, Event::ArrowDown, Event::ArrowDown,
                     Event::Return});
        QVERIFY(row_of(render_lines(view, 76, 20), "status: triggered action: z") > 0);
        press(view, {Event::Tab});
        QStringList lines = render_lines(view, 76, 20);
        QCOMPARE(row_of(lines, "status:"), -1);
        QVERIFY(row_of(lines, "│> b ") > 0);
        press(view, {Event::Tab});
        lines = render_lines(view, 76, 20);
        QCOMPARE(row_of(lines, "status:"), -1);
        QVERIFY(row_of(lines, "│> z ") > 0);
    }

    void highlight_follows_a_shrinking_list()
    {
        Tui& tui = Tui::instance();
        for (const char* id : {"x", "y", "z"}) {
            tui.register_action(id, "d");
        }
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        press(view, {Event::Tab, Event::ArrowDown, Event::ArrowDown});
        tui.delete_action("z");
        QVERIFY(row_of(render_lines(view, 76, 20), "│> y ") > 0);
        tui.delete_action("y");
        QSignalSpy triggered(&tui, &Tui::action_triggered);
        press(view, {Event::Return}); // pulled back on Enter as well
        QCOMPARE(triggered.size(), 1);
        QCOMPARE(triggered.at(0).at(0).toString(), QStringLiteral("x"));
        tui.delete_action("x");
        QVERIFY(row_of(render_lines(view, 76, 20), "No action registered yet.") > 0);
        tui.register_action("w", "d");
        QVERIFY(row_of(render_lines(view, 76, 20), "│> w ") > 0);
    }

    void keys_outside_the_console_are_left_alone_data()
    {
        QTest::addColumn<Event>("key");
        QTest::newRow("letter") << Event::Character('q');
        QTest::newRow("arrow left") << Event::ArrowLeft;
        QTest::newRow("backspace") << Event::Backspace;
        QTest::newRow("shift tab") << Event::TabReverse;
    }

    void keys_outside_the_console_are_left_alone()
    {
        QFETCH(Event, key);
        std::atomic<bool> quit{false};
        TuiView view(Tui::instance(), quit);
        QVERIFY(!view.handle_event(key));
        QVERIFY(!quit);
    }

    void bound_keys_trigger_their_action_data()
    {
        QTest::addColumn<Event>("key");
        QTest::addColumn<bool>("on_action_page");
        QTest::addColumn<QString>("triggered"); // empty: nothing, not consumed
        QTest::newRow("space") << Event::Character(' ') << false << "Reelcast.pause";
        QTest::newRow("left, action page") << Event::ArrowLeft << true << "Reelcast.seek_back";
        QTest::newRow("right") << Event::ArrowRight << false << "Reelcast.seek_forward";
        QTest::newRow("home") << Event::Home << true << "Reelcast.restart";
        QTest::newRow("home as a terminal's vt220 key")
            << Event::Special("\x1b[1~") << false << "Reelcast.restart";
        QTest::newRow("plus") << Event::Character('+') << false << "Reelcast.rate_up";
        QTest::newRow("minus") << Event::Character('-') << true << "Reelcast.rate_down";
        QTest::newRow("unbound letter") << Event::Character('q') << false << "";
        QTest::newRow("unbound end") << Event::End << true << "";
        // The console's own keys win over a binding of the same name.
        QTest::newRow("tab stays the page key") << Event::Tab << false << "";
    }

    void bound_keys_trigger_their_action()
    {
        QFETCH(Event, key);
        QFETCH(bool, on_action_page);
        QFETCH(QString, triggered);
        Tui& tui = Tui::instance();
        tui.register_action("Reelcast.pause", "pause binary playback", "Space");
        tui.register_action("Reelcast.play", "resume binary playback");
        tui.register_action("Reelcast.seek_back", "jump back 5 s", "Left");
        tui.register_action("Reelcast.seek_forward", "jump forward 5 s", "Right");
        tui.register_action("Reelcast.restart", "play from the start", "Home");
        tui.register_action("Reelcast.rate_up", "double the playback rate", "+");
        tui.register_action("Reelcast.rate_down", "halve the playback rate", "-");
        tui.register_action("Tab", "never reached", "Tab");
        QSignalSpy spy(&tui, &Tui::action_triggered);
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        if (on_action_page) {
            press(view, {Event::Tab});
        }
        const bool consumed = view.handle_event(key);
        if (triggered.isEmpty()) {
            QCOMPARE(spy.size(), 0);
            QCOMPARE(consumed, key == Event::Tab);
            return;
        }
        QVERIFY(consumed);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), triggered);
        QVERIFY(row_of(render_lines(view, 80, 20), "status: triggered action: " + triggered) > 0);
    }

    void action_page_shows_bound_keys()
    {
        Tui& tui = Tui::instance();
        tui.register_action("Reelcast.pause", "pause binary playback", "Space");
        tui.register_action("Reelcast.play", "resume binary playback");
        tui.register_action("Reelcast.seek_back", "jump back 5 s", "Left");
        // A later plain registration drops the key again.
        tui.register_action("Reelcast.quit", "quit binary playback", "q");
        tui.register_action("Reelcast.quit", "quit binary playback");
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        press(view, {Event::Tab});
        QCOMPARE(render_lines(view, 60, 12).mid(3, 6), (QStringList{
            "│Action menu                                               │",
            "├──────────────────────────────────────────────────────────┤",
            "│> Reelcast.pause    pause binary playback  [Space]        │",
            "│  Reelcast.play    resume binary playback                 │",
            "│  Reelcast.quit    quit binary playback                   │",
            "│  Reelcast.seek_back    jump back 5 s  [Left]             │",
        }));
    }

    void escape_asks_the_loop_to_end_data()
    {
        QTest::addColumn<Event>("key");
        QTest::newRow("Esc") << Event::Escape;
        // Esc directly followed by the terminal's answer to a cursor query.
        QTest::newRow("Esc run into a cursor report") << Event::Special("\x1b\x1b[");
        QTest::newRow("Esc run into an arrow key") << Event::Special("\x1b\x1b[A");
    }

    void escape_asks_the_loop_to_end()
    {
        QFETCH(Event, key);
        std::atomic<bool> quit{false};
        TuiView view(Tui::instance(), quit);
        press(view, {Event::Tab});
        QVERIFY(view.handle_event(key));
        QVERIFY(quit);
    }

    void styles()
    {
        Tui& tui = Tui::instance();
        tui.print("a", "first", "m");
        tui.print("b", "second", "m");
        std::atomic<bool> quit{false};
        TuiView view(tui, quit);
        press(view, {Event::Return});
        ftxui::Screen screen(0, 0);
        const QStringList lines = render_lines(view, 60, 20, &screen);
        QVERIFY(screen.PixelAt(2, 1).bold);     // " TUI Probe "
        QVERIFY(screen.PixelAt(40, 1).dim);     // page hint
        const int status = row_of(lines, "status:");
        QVERIFY(screen.PixelAt(1, status).dim);
        QVERIFY(!screen.PixelAt(10, status).dim);
        const int selected = row_of(lines, "│> a");
        QVERIFY(screen.PixelAt(1, selected).inverted);
        QVERIFY(screen.PixelAt(3, selected).bold);       // name
        QVERIFY(!screen.PixelAt(8, selected).bold);      // description
        const int other = row_of(lines, "│  b");
        QVERIFY(!screen.PixelAt(1, other).inverted);
        QVERIFY(screen.PixelAt(1, row_of(lines, "Channel menu")).bold);
        QVERIFY(screen.PixelAt(1, row_of(lines, "Up/Down")).dim);
        QVERIFY(screen.PixelAt(2, row_of(lines, "update:")).dim);
        QVERIFY(screen.PixelAt(3, row_of(lines, "╭a  -  first")).bold);
    }
};

QTEST_GUILESS_MAIN(TestTuiView)
#include "tst_tui_view.moc"
