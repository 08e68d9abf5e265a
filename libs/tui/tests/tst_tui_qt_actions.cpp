#include <nmb/tui.h>
#include <nmb/tui_qt_actions.h>
#include <nmb/tui_qt_bus.h>

#include <QSignalSpy>
#include <QTest>

#include <thread>

using nmb::Tui;
using nmb::TuiQtActions;
using nmb::TuiQtBus;

class TestTuiQtActions : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Runs first in a fresh process: nothing of the console exists yet.
    void registering_creates_the_bus_and_the_action()
    {
        TuiQtActions::register_qt_action("Reelcast.quit", "quit binary playback");
        const std::vector<Tui::ActionSnapshot> actions = Tui::instance().make_action_snapshot();
        QCOMPARE(actions.size(), std::size_t(1));
        QCOMPARE(actions[0].id, std::string("Reelcast.quit"));
        QCOMPARE(actions[0].description, std::string("quit binary playback"));

        // The bus made on the way forwards the action to this thread.
        QSignalSpy forwarded(&TuiQtBus::instance(), &TuiQtBus::action_triggered);
        std::thread console([] { Tui::instance().execute_action("Reelcast.quit"); });
        console.join();
        QTRY_COMPARE(forwarded.size(), 1);
        QCOMPARE(forwarded.at(0).at(0).toString(), QStringLiteral("Reelcast.quit"));
    }

    void empty_id_is_ignored()
    {
        TuiQtActions::register_qt_action("", "nothing");
        QCOMPARE(Tui::instance().make_action_snapshot().size(), std::size_t(1));
    }
};

QTEST_GUILESS_MAIN(TestTuiQtActions)
#include "tst_tui_qt_actions.moc"
