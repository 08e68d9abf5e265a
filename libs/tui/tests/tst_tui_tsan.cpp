// The registry's thread-safety checks, built with the library's sources
// under ThreadSanitizer: any data race makes the run fail.
#include <nmb/tui.h>

#include "print_storm.h"
#include "pty_terminal.h"
#include "tui_test_access.h"

#include <QTest>

#include <atomic>
#include <thread>
#include <vector>

using nmb::Tui;
using nmb::TuiTestAccess;

class TestTuiTsan : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { TuiTestAccess::reset(Tui::instance()); }
    void cleanup() { TuiTestAccess::reset(Tui::instance()); }

    void many_threads_print_while_snapshots_are_taken()
    {
        const nmb::test::PrintStormResult result =
            nmb::test::run_print_storm(Tui::instance(), 4, 2000, 8);
        QVERIFY(result.snapshots > 0);
        QVERIFY(result.snapshots_sorted);
        QVERIFY(result.messages_whole);
        QCOMPARE(result.channels_after, std::size_t(8));
    }

    void start_stop_and_switches_from_many_threads()
    {
        // Without a terminal start() only clears enabled; it still races
        // with print(), set_enabled() and stop() on the shared flags.
        Tui& tui = Tui::instance();
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&tui, t] {
                for (int i = 0; i < 300; ++i) {
                    tui.print("switch." + std::to_string(t), "d", std::to_string(i));
                    tui.set_enabled(i % 3 != 0);
                    if (i % 50 == 0) {
                        tui.start();
                        tui.stop();
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        QVERIFY(!TuiTestAccess::running(tui));
    }

    void prints_while_the_console_draws()
    {
        Tui& tui = Tui::instance();
        // No action bus here: its queued connection runs through Qt's own
        // locks, which the sanitizer cannot see.
        tui.register_action("a", "d");
        tui.register_action("b", "d");
        bool drawn = false;
        bool drawn_after_prints = false;
        {
            nmb::test::PtyTerminal terminal;
            QVERIFY(terminal.is_open());
            tui.start();
            drawn = QTest::qWaitFor([&] { return terminal.received(" TUI Probe "); },
                                    10000);
            std::vector<std::thread> printers;
            for (int t = 0; t < 3; ++t) {
                printers.emplace_back([&tui, t] {
                    for (int i = 0; i < 400; ++i) {
                        tui.print("draw." + std::to_string(t), "d", "line " + std::to_string(i));
                        if (i % 100 == 0) {
                            std::this_thread::yield();
                        }
                    }
                });
            }
            // Keys make the console thread take snapshots and execute actions
            // while the printers run.
            terminal.type("\x1b[B\t\x1b[B\r\t");
            for (std::thread& printer : printers) {
                printer.join();
            }
            drawn_after_prints = QTest::qWaitFor(
                [&] { return terminal.received("line 399"); }, 10000);
            tui.stop();
        }
        QVERIFY(drawn);
        QVERIFY(drawn_after_prints);
    }
};

QTEST_GUILESS_MAIN(TestTuiTsan)
#include "tst_tui_tsan.moc"
