#include <nmb/tui.h>
#include <nmb/tui_qt_bus.h>

#include "tui_test_access.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <thread>

using nmb::Tui;
using nmb::TuiQtBus;
using nmb::TuiTestAccess;

namespace {

// Collects what reaches the bus's receivers and on which thread.
struct Arrivals {
    QStringList ids;
    bool all_on_main_thread = true;
};

void record_arrivals(QObject* context, Arrivals& arrivals)
{
    QObject::connect(&TuiQtBus::instance(), &TuiQtBus::action_triggered, context,
                     [&arrivals](const QString& id) {
                         arrivals.ids << id;
                         if (QThread::currentThread() != qApp->thread()) {
                             arrivals.all_on_main_thread = false;
                         }
                     });
}

} // namespace

class TestTuiQtBus : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TuiQtBus::instance(); } // lives on the main thread
    void init() { TuiTestAccess::reset(Tui::instance()); }

    void request_on_the_bus_thread_emits_at_once()
    {
        QSignalSpy spy(&TuiQtBus::instance(), &TuiQtBus::action_triggered);
        TuiQtBus::instance().request_action("now");
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("now"));
    }

    void request_from_a_worker_arrives_later_on_the_bus_thread()
    {
        QObject context;
        Arrivals arrivals;
        record_arrivals(&context, arrivals);
        std::thread worker([] { TuiQtBus::instance().request_action("later"); });
        worker.join();
        QVERIFY(arrivals.ids.isEmpty()); // nothing runs before the event loop turns
        QTRY_COMPARE(arrivals.ids, QStringList{"later"});
        QVERIFY(arrivals.all_on_main_thread);
    }

    void action_executed_on_another_thread_arrives_once_in_order()
    {
        Tui& tui = Tui::instance();
        for (const char* id : {"first", "second", "third"}) {
            tui.register_action(id, "d");
        }
        QObject context;
        Arrivals arrivals;
        record_arrivals(&context, arrivals);
        const QStringList order{"third", "first", "second", "first", "unknown", "third"};
        std::thread console([&] {
            for (const QString& id : order) {
                tui.execute_action(id.toStdString());
            }
        });
        console.join();
        // "unknown" is not registered, so the registry never emits it.
        const QStringList expected{"third", "first", "second", "first", "third"};
        QTRY_COMPARE(arrivals.ids, expected);
        QTest::qWait(0); // nothing further is queued behind them
        QCOMPARE(arrivals.ids, expected);
        QVERIFY(arrivals.all_on_main_thread);
    }

    void action_executed_on_the_bus_thread_arrives_on_a_later_turn()
    {
        Tui& tui = Tui::instance();
        tui.register_action("here", "d");
        QObject context;
        Arrivals arrivals;
        record_arrivals(&context, arrivals);
        tui.execute_action("here");
        QVERIFY(arrivals.ids.isEmpty());
        QTRY_COMPARE(arrivals.ids, QStringList{"here"});
    }
};

QTEST_GUILESS_MAIN(TestTuiQtBus)
#include "tst_tui_qt_bus.moc"
