#include <nmb/stop_signal.h>

#include <QCoreApplication>
#include <QTimer>
#include <QtTest>

#include <csignal>

// The flag is process-wide and never lowered, so the whole path (handler,
// flag, poll, quit) is one test run in order.
class TestStopSignal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signal_raises_flag_and_poll_quits_loop()
    {
        nmb::StopSignalPoll poll;
        poll.start();
        QVERIFY(!nmb::stop_is_requested());
        QCOMPARE(*nmb::stop_flag(), 0);

        // Raised from inside the loop, so the poll is what ends it; the
        // guard timer only keeps a broken poll from hanging the test.
        QTimer::singleShot(0, [] { std::raise(SIGTERM); });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        guard.start(10000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(nmb::stop_is_requested());
        QVERIFY(*nmb::stop_flag() != 0);

        // A second signal during shutdown only raises the flag again.
        std::raise(SIGINT);
        QVERIFY(nmb::stop_is_requested());
        poll.stop();
    }
};

QTEST_GUILESS_MAIN(TestStopSignal)
#include "tst_stop_signal.moc"
