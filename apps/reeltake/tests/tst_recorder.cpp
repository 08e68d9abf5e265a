#include "recorder.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Error lines of the code under test, as the program would print them.
QStringList captured_messages;

void capture_message(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg)
        captured_messages << message;
}

} // namespace

class TestRecorder : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void unusable_directory_fails_the_start();
    void only_the_first_error_counts();

private:
    QtMessageHandler previous_handler_ = nullptr;
};

void TestRecorder::init()
{
    captured_messages.clear();
    previous_handler_ = qInstallMessageHandler(capture_message);
}

void TestRecorder::cleanup()
{
    qInstallMessageHandler(previous_handler_);
}

void TestRecorder::unusable_directory_fails_the_start()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    {
        QFile blocker(dir.filePath("plain_file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    nmb::reeltake::Recorder recorder;
    const QString unusable = dir.filePath("plain_file/rec");
    QVERIFY(!recorder.start(QHostAddress::LocalHost, 0, unusable));
    QCOMPARE(recorder.exit_code(), 1);
    QCOMPARE(captured_messages,
             QStringList{"Recording error: Unable to create recording directory: " + unusable});
}

void TestRecorder::only_the_first_error_counts()
{
    nmb::reeltake::Recorder recorder;
    QSignalSpy failed(&recorder, &nmb::reeltake::Recorder::failed);
    recorder.report_error("first");
    recorder.report_error("second");
    QCOMPARE(recorder.exit_code(), 1);
    // The run ends from the event loop, never from inside the emission.
    QCOMPARE(failed.size(), 0);
    QVERIFY(failed.wait(2000));
    QCOMPARE(failed.at(0).at(0).toInt(), 1);
    recorder.report_error("third");
    // A zero-delay timer posted now fires after anything the third report
    // could have posted.
    bool drained = false;
    QTimer::singleShot(0, this, [&drained] { drained = true; });
    QTRY_VERIFY(drained);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(captured_messages, QStringList{"Recording error: first"});
}

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_recorder.moc"
