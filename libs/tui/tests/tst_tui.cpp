#include <nmb/tui.h>

#include "../src/rate_window.h"
#include "print_storm.h"
#include "pty_terminal.h"
#include "tui_test_access.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <chrono>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using nmb::Tui;
using nmb::TuiTestAccess;
using namespace std::chrono_literals;

namespace {

// One print: channel, description, message.
using Print = QStringList;

QStringList describe(const std::vector<Tui::ChannelSnapshot>& snapshot)
{
    QStringList lines;
    for (const Tui::ChannelSnapshot& channel : snapshot) {
        lines << QString::fromStdString(channel.name + "|" + channel.description + "|"
                                        + channel.message);
    }
    return lines;
}

// Points the given standard descriptor at /dev/null for its lifetime.
class RedirectToNull {
public:
    explicit RedirectToNull(int descriptor)
        : descriptor_(descriptor)
        , saved_(::dup(descriptor))
    {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, descriptor_);
        ::close(null);
    }
    ~RedirectToNull()
    {
        ::dup2(saved_, descriptor_);
        ::close(saved_);
    }

private:
    int descriptor_;
    int saved_;
};

bool line_mode_and_echo(int descriptor)
{
    termios settings{};
    return ::tcgetattr(descriptor, &settings) == 0 && (settings.c_lflag & ICANON) != 0
        && (settings.c_lflag & ECHO) != 0;
}

} // namespace

class TestTui : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { TuiTestAccess::reset(Tui::instance()); }
    void cleanup() { TuiTestAccess::reset(Tui::instance()); }

    void print_records_channels_data()
    {
        QTest::addColumn<QList<Print>>("prints");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty channel name is ignored")
            << QList<Print>{{"", "description", "message"}} << QStringList{};
        QTest::newRow("first print without description")
            << QList<Print>{{"a", "", "m"}} << QStringList{"a||m"};
        QTest::newRow("empty description keeps the stored one")
            << QList<Print>{{"a", "first", "m1"}, {"a", "", "m2"}} << QStringList{"a|first|m2"};
        QTest::newRow("new description replaces the stored one")
            << QList<Print>{{"a", "first", "m1"}, {"a", "second", "m2"}}
            << QStringList{"a|second|m2"};
        QTest::newRow("empty message clears the shown one")
            << QList<Print>{{"a", "d", "m"}, {"a", "d", ""}} << QStringList{"a|d|"};
        QTest::newRow("multi-line message kept as printed")
            << QList<Print>{{"a", "d", "one\ntwo\n"}} << QStringList{"a|d|one\ntwo\n"};
    }

    void print_records_channels()
    {
        QFETCH(QList<Print>, prints);
        QFETCH(QStringList, expected);
        Tui& tui = Tui::instance();
        for (const Print& print : prints) {
            tui.print(print[0].toStdString(), print[1].toStdString(), print[2].toStdString());
        }
        QCOMPARE(describe(tui.make_channel_snapshot()), expected);
    }

    void snapshots_sorted_byte_wise_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("sorted");
        QTest::newRow("upper case before lower case")
            << QStringList{"b", "a", "B"} << QStringList{"B", "a", "b"};
        QTest::newRow("proper prefix first")
            << QStringList{"abc", "a", "ab"} << QStringList{"a", "ab", "abc"};
        QTest::newRow("multi-byte characters after ASCII")
            << QStringList{"\u00e9", "z", "Z"} << QStringList{"Z", "z", "\u00e9"};
        QTest::newRow("digits before letters and dots before digits")
            << QStringList{"x.b", "x1", "x.a", "xa"} << QStringList{"x.a", "x.b", "x1", "xa"};
    }

    void snapshots_sorted_byte_wise()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, sorted);
        Tui& tui = Tui::instance();
        for (const QString& name : names) {
            tui.print(name.toStdString(), "d", "m");
            tui.register_action(name.toStdString(), "d");
        }
        QStringList channel_order;
        for (const Tui::ChannelSnapshot& channel : tui.make_channel_snapshot()) {
            channel_order << QString::fromStdString(channel.name);
        }
        QStringList action_order;
        for (const Tui::ActionSnapshot& action : tui.make_action_snapshot()) {
            action_order << QString::fromStdString(action.id);
        }
        QCOMPARE(channel_order, sorted);
        QCOMPARE(action_order, sorted);
    }

    void ten_prints_give_two_hertz()
    {
        Tui& tui = Tui::instance();
        for (int i = 0; i < 10; ++i) {
            tui.print("rate", "d", std::to_string(i));
        }
        // Ten prints a moment ago are all inside the five-second window.
        const std::vector<Tui::ChannelSnapshot> snapshot = tui.make_channel_snapshot();
        QCOMPARE(snapshot.size(), std::size_t(1));
        QCOMPARE(snapshot[0].rate_hz, 2.0);
    }

    void rate_window_data()
    {
        QTest::addColumn<QList<int>>("print_ages_ms"); // age of each print at snapshot time
        QTest::addColumn<double>("rate_hz");
        QTest::newRow("ten prints within the window")
            << QList<int>{4900, 4000, 3000, 2500, 2000, 1500, 1000, 500, 100, 0} << 2.0;
        QTest::newRow("six seconds after the last print")
            << QList<int>{6900, 6800, 6700, 6600, 6500, 6400, 6300, 6200, 6100, 6000} << 0.0;
        QTest::newRow("only the prints inside count") << QList<int>{9000, 7000, 4000, 10} << 0.4;
        QTest::newRow("a print exactly at the cutoff counts") << QList<int>{5000} << 0.2;
        QTest::newRow("no print at all") << QList<int>{} << 0.0;
    }

    void rate_window()
    {
        QFETCH(QList<int>, print_ages_ms);
        QFETCH(double, rate_hz);
        // The snapshot's arithmetic with chosen times; stale points stay in
        // the queue between prints and must not be counted.
        const Tui::Clock::time_point now = Tui::Clock::now();
        std::deque<Tui::Clock::time_point> times;
        for (const int age : print_ages_ms) {
            times.push_back(now - std::chrono::milliseconds(age));
        }
        QCOMPARE(nmb::detail::rate_hz(times, now), rate_hz);
    }

    void print_prunes_points_older_than_the_window()
    {
        const Tui::Clock::time_point start = Tui::Clock::now();
        std::deque<Tui::Clock::time_point> times;
        nmb::detail::record_update(times, start);
        nmb::detail::record_update(times, start + 1s);
        nmb::detail::record_update(times, start + 5s); // start is exactly at the cutoff
        QCOMPARE(times.size(), std::size_t(3));
        nmb::detail::record_update(times, start + 5s + 1ns);
        QCOMPARE(times.front(), start + 1s);
        nmb::detail::record_update(times, start + 20s);
        QCOMPARE(times.size(), std::size_t(1));
    }

    void actions_register_and_execute_data()
    {
        QTest::addColumn<QList<QStringList>>("registrations"); // id, description
        QTest::addColumn<QStringList>("deleted");
        QTest::addColumn<QString>("executed");
        QTest::addColumn<QStringList>("expected_actions");
        QTest::addColumn<int>("emitted");
        QTest::newRow("registered id emits once")
            << QList<QStringList>{{"go", "start it"}} << QStringList{} << "go"
            << QStringList{"go|start it"} << 1;
        QTest::newRow("unregistered id emits nothing")
            << QList<QStringList>{{"go", "start it"}} << QStringList{} << "stop"
            << QStringList{"go|start it"} << 0;
        QTest::newRow("empty id is not registered")
            << QList<QStringList>{{"", "nothing"}} << QStringList{} << "" << QStringList{} << 0;
        QTest::newRow("second registration replaces the description")
            << QList<QStringList>{{"go", "first"}, {"go", "second"}} << QStringList{} << "go"
            << QStringList{"go|second"} << 1;
        QTest::newRow("deleted action no longer emits")
            << QList<QStringList>{{"go", "d"}, {"stay", "d"}} << QStringList{"go"} << "go"
            << QStringList{"stay|d"} << 0;
        QTest::newRow("deleting an unknown id changes nothing")
            << QList<QStringList>{{"go", "d"}} << QStringList{"other"} << "go"
            << QStringList{"go|d"} << 1;
    }

    void actions_register_and_execute()
    {
        QFETCH(QList<QStringList>, registrations);
        QFETCH(QStringList, deleted);
        QFETCH(QString, executed);
        QFETCH(QStringList, expected_actions);
        QFETCH(int, emitted);
        Tui& tui = Tui::instance();
        for (const QStringList& registration : registrations) {
            tui.register_action(registration[0].toStdString(), registration[1].toStdString());
        }
        for (const QString& id : deleted) {
            tui.delete_action(id.toStdString());
        }
        QSignalSpy triggered(&tui, &Tui::action_triggered);
        tui.execute_action(executed.toStdString());
        QCOMPARE(triggered.size(), emitted);
        if (emitted > 0) {
            QCOMPARE(triggered.at(0).at(0).toString(), executed);
        }
        QStringList actions;
        for (const Tui::ActionSnapshot& action : tui.make_action_snapshot()) {
            actions << QString::fromStdString(action.id + "|" + action.description);
        }
        QCOMPARE(actions, expected_actions);
    }

    void receiver_may_change_actions_while_notified()
    {
        // The registry must not hold its lock while emitting, or this
        // receiver would deadlock.
        Tui& tui = Tui::instance();
        tui.register_action("first", "d");
        tui.register_action("second", "d");
        QStringList seen;
        QObject context;
        connect(&tui, &Tui::action_triggered, &context, [&](const QString& id) {
            seen << id;
            if (id == QLatin1String("first")) {
                tui.delete_action("first");
                tui.register_action("third", "d");
                tui.execute_action("second");
            }
        });
        tui.execute_action("first");
        QCOMPARE(seen, (QStringList{"first", "second"}));
        QCOMPARE(tui.make_action_snapshot().size(), std::size_t(2));
    }

    void refresh_interval_clamping_data()
    {
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("stored");
        QTest::newRow("zero keeps the previous value") << 0 << 200;
        QTest::newRow("negative keeps the previous value") << -5 << 200;
        QTest::newRow("one becomes the minimum") << 1 << 50;
        QTest::newRow("ten becomes the minimum") << 10 << 50;
        QTest::newRow("forty-nine becomes the minimum") << 49 << 50;
        QTest::newRow("the minimum is kept") << 50 << 50;
        QTest::newRow("a second is kept") << 1000 << 1000;
        QTest::newRow("no upper bound") << 3600000 << 3600000;
    }

    void refresh_interval_clamping()
    {
        QFETCH(int, requested);
        QFETCH(int, stored);
        Tui& tui = Tui::instance();
        tui.set_refresh_interval_ms(200);
        tui.set_refresh_interval_ms(requested);
        QCOMPARE(TuiTestAccess::refresh_interval_ms(tui), stored);
    }

    void start_without_terminal_disables_prints_data()
    {
        QTest::addColumn<int>("descriptor");
        QTest::newRow("standard input not a terminal") << STDIN_FILENO;
        QTest::newRow("standard output not a terminal") << STDOUT_FILENO;
    }

    void start_without_terminal_disables_prints()
    {
        QFETCH(int, descriptor);
        Tui& tui = Tui::instance();
        {
            // The other descriptor may or may not be a terminal; one that
            // is not is enough to keep the console off.
            RedirectToNull redirect(descriptor);
            tui.start();
        }
        QVERIFY(!TuiTestAccess::running(tui));
        QVERIFY(!TuiTestAccess::enabled(tui));
        tui.print("dropped", "d", "m");
        QVERIFY(tui.make_channel_snapshot().empty());
        tui.set_enabled(true);
        tui.print("kept", "d", "m");
        QCOMPARE(tui.make_channel_snapshot().size(), std::size_t(1));
    }

    void stop_without_start_is_harmless()
    {
        Tui& tui = Tui::instance();
        tui.stop();
        tui.stop();
        QVERIFY(!TuiTestAccess::running(tui));
        QVERIFY(TuiTestAccess::enabled(tui));
    }

    void start_stop_start_on_a_terminal()
    {
        Tui& tui = Tui::instance();
        tui.print("Probe.frame", "probe", "frame 1");
        bool first_drawn = false;
        bool one_thread = false;
        bool raw_while_running = false;
        bool stopped = false;
        bool restored_after_stop = false;
        bool second_drawn = false;
        bool restored_at_end = false;
        {
            nmb::test::PtyTerminal terminal;
            QVERIFY(terminal.is_open());
            tui.start();
            const std::thread::id first_thread = TuiTestAccess::console_thread_id(tui);
            tui.start(); // already running: no second thread
            one_thread = TuiTestAccess::running(tui)
                && TuiTestAccess::console_thread_id(tui) == first_thread;
            first_drawn = QTest::qWaitFor(
                [&] { return terminal.received(" TUI Probe "); }, 5000);
            raw_while_running = !line_mode_and_echo(STDIN_FILENO);
            tui.stop();
            stopped = !TuiTestAccess::running(tui);
            restored_after_stop = line_mode_and_echo(STDIN_FILENO);

            const std::size_t drawn_before = terminal.received_size();
            tui.start();
            second_drawn = QTest::qWaitFor(
                [&] { return terminal.received(" TUI Probe ", drawn_before); }, 5000);
            tui.stop();
            restored_at_end = line_mode_and_echo(STDIN_FILENO);
        }
        QVERIFY2(one_thread, "a second start() while running changed the console thread");
        QVERIFY2(first_drawn, "the console never drew its header");
        QVERIFY2(raw_while_running, "the terminal stayed in line mode while the console ran");
        QVERIFY2(stopped, "running still set after stop()");
        QVERIFY2(restored_after_stop, "line mode and echo not back after stop()");
        QVERIFY2(second_drawn, "start() after stop() drew nothing");
        QVERIFY2(restored_at_end, "line mode and echo not back after the second stop()");
        QVERIFY(TuiTestAccess::enabled(tui));
    }

    void stop_does_not_wait_out_a_long_refresh_interval()
    {
        Tui& tui = Tui::instance();
        tui.set_refresh_interval_ms(600000);
        bool drawn = false;
        qint64 stop_ms = -1;
        {
            nmb::test::PtyTerminal terminal;
            QVERIFY(terminal.is_open());
            tui.start();
            drawn = QTest::qWaitFor([&] { return terminal.received(" TUI Probe "); }, 5000);
            QElapsedTimer stopping;
            stopping.start();
            tui.stop();
            stop_ms = stopping.elapsed();
        }
        QVERIFY(drawn);
        // Generous: the point is not waiting ten minutes.
        QVERIFY2(stop_ms < 10000, qPrintable(QString::number(stop_ms)));
    }

    void escape_ends_the_console_but_not_the_registry()
    {
        Tui& tui = Tui::instance();
        bool drawn = false;
        bool ended = false;
        bool restored = false;
        bool restarted = false;
        {
            nmb::test::PtyTerminal terminal;
            QVERIFY(terminal.is_open());
            tui.start();
            drawn = QTest::qWaitFor(
                [&] { return terminal.received(" TUI Probe "); }, 5000);
            terminal.type("\x1b");
            ended = QTest::qWaitFor([&] { return !TuiTestAccess::running(tui); }, 5000);
            // The thread clears running first, then hands the terminal back.
            restored = QTest::qWaitFor([] { return line_mode_and_echo(STDIN_FILENO); }, 5000);
            tui.start();
            restarted = TuiTestAccess::running(tui);
            tui.stop();
        }
        QVERIFY2(drawn, "the console never drew its header");
        QVERIFY2(ended, "Esc did not end the console");
        QVERIFY(TuiTestAccess::quit_requested(tui));
        QVERIFY2(restored, "line mode and echo not back after Esc");
        QVERIFY2(restarted, "start() after Esc did not start a new console");
        tui.print("after", "d", "still recorded");
        QCOMPARE(tui.make_channel_snapshot().size(), std::size_t(1));
    }

    void many_threads_print_while_snapshots_are_taken()
    {
        const nmb::test::PrintStormResult result =
            nmb::test::run_print_storm(Tui::instance(), 4, 5000, 8);
        QVERIFY(result.snapshots > 0);
        QVERIFY(result.snapshots_sorted);
        QVERIFY(result.messages_whole);
        QCOMPARE(result.channels_after, std::size_t(8));
    }
};

QTEST_GUILESS_MAIN(TestTui)
#include "tst_tui.moc"
