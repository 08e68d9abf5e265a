#include <nmb/binary_adapter.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

const QString STEM_FORMAT = QStringLiteral("yyyyMMdd_HHmmss_zzz");

// Creating files is slow on some file systems, so a start cannot be raced
// against files prepared for "now". Instead the files are prepared for a short
// window a little in the future, the test waits for the window to open and
// then starts at once. A start that still misses the window (the machine
// stalled) is retried with a longer lead.
class FutureWindow {
public:
    static constexpr int SPAN_MS = 25;

    // Prepares `make(path)` for every name stem + suffix in a window that
    // opens lead_ms from now; returns false if a file could not be made.
    template <typename Make>
    bool prepare(const QStringList& suffixes, int lead_ms, Make make)
    {
        opens_ = QDateTime::currentDateTime().addMSecs(lead_ms);
        stems_.clear();
        for (int ms = 0; ms < SPAN_MS; ++ms) {
            const QString stem = opens_.addMSecs(ms).toString(STEM_FORMAT);
            stems_ << stem;
            for (const QString& suffix : suffixes) {
                if (!make(stem + suffix))
                    return false;
            }
        }
        return true;
    }

    // Waits (at most the lead) until the window opens; false when it was
    // already over before the wait began.
    bool wait_until_open() const
    {
        if (QDateTime::currentDateTime() >= opens_.addMSecs(SPAN_MS))
            return false;
        while (QDateTime::currentDateTime() < opens_)
            QThread::usleep(100);
        return true;
    }

    bool contains(const QString& stem) const { return stems_.contains(stem); }

private:
    QDateTime opens_;
    QStringList stems_;
};

QByteArray file_contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 size_on_disk(const QString& path)
{
    return QFileInfo(path).size();
}

// Switches the current directory for the life of the object.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const QString& path)
        : previous_(QDir::currentPath())
    {
        QDir::setCurrent(path);
    }
    ~CurrentDirectory() { QDir::setCurrent(previous_); }

private:
    QString previous_;
};

} // namespace

class TestBinaryAdapter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void taken_names_get_the_next_counter_data();
    void taken_names_get_the_next_counter();
    void quick_starts_never_share_a_name();
    void name_appearing_after_the_check_fails_the_start();
    void directory_is_chosen_and_created_data();
    void directory_is_chosen_and_created();
    void unusable_directory_fails_the_start();
    void file_is_the_concatenation_of_the_data();
    void data_outside_a_recording_is_ignored();
    void stop_keeps_the_name();
    void restart_closes_the_first_file_flushed();
    void recorded_bytes_reach_the_file_within_the_flush_interval();
};

void TestBinaryAdapter::taken_names_get_the_next_counter_data()
{
    QTest::addColumn<QStringList>("taken_suffixes");
    QTest::addColumn<QString>("expected_suffix");
    QTest::newRow("free millisecond") << QStringList{} << QString(".bin");
    QTest::newRow("second start in the same millisecond") << QStringList{".bin"} << QString("_1.bin");
    QTest::newRow("third start in the same millisecond")
        << QStringList{".bin", "_1.bin"} << QString("_2.bin");
    QTest::newRow("gap in the counter is filled") << QStringList{".bin", "_2.bin"} << QString("_1.bin");
    QTest::newRow("counter files without the plain name")
        << QStringList{"_1.bin", "_2.bin"} << QString(".bin");
}

void TestBinaryAdapter::taken_names_get_the_next_counter()
{
    QFETCH(QStringList, taken_suffixes);
    QFETCH(QString, expected_suffix);

    for (int attempt = 0, lead_ms = 200; attempt < 5; ++attempt, lead_ms *= 2) {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        FutureWindow window;
        QVERIFY(window.prepare(taken_suffixes, lead_ms, [&](const QString& name) {
            QFile taken(dir.filePath(name));
            return taken.open(QIODevice::WriteOnly);
        }));
        if (!window.wait_until_open())
            continue;

        nmb::BinaryAdapter adapter;
        QVERIFY(adapter.start_recording(dir.path()));
        const QString name = QFileInfo(adapter.recording_file_name()).fileName();
        const QString stem = name.left(STEM_FORMAT.size());
        if (!window.contains(stem))
            continue;
        QCOMPARE(name, stem + expected_suffix);
        QCOMPARE(adapter.recording_file_name(), dir.filePath(name));

        adapter.record_data("fresh");
        adapter.stop_recording();
        QCOMPARE(file_contents(dir.filePath(name)), QByteArray("fresh"));
        for (const QString& suffix : taken_suffixes)
            QCOMPARE(size_on_disk(dir.filePath(stem + suffix)), 0);
        return;
    }
    QFAIL("no start landed in a prepared window");
}

void TestBinaryAdapter::quick_starts_never_share_a_name()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::BinaryAdapter adapter;
    QSet<QString> names;
    for (int i = 0; i < 20; ++i) {
        QVERIFY(adapter.start_recording(dir.path()));
        adapter.record_data(QByteArray::number(i));
        names.insert(adapter.recording_file_name());
    }
    adapter.stop_recording();
    QCOMPARE(names.size(), 20);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 20);
}

void TestBinaryAdapter::name_appearing_after_the_check_fails_the_start()
{
    // A dangling link passes the existence test but blocks a new-only open,
    // just like a file created between the test and the open.
    for (int attempt = 0, lead_ms = 200; attempt < 5; ++attempt, lead_ms *= 2) {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        FutureWindow window;
        QVERIFY(window.prepare({".bin"}, lead_ms, [&](const QString& name) {
            return QFile::link(dir.filePath("nowhere"), dir.filePath(name));
        }));
        if (!window.wait_until_open())
            continue;

        nmb::BinaryAdapter adapter;
        QSignalSpy errors(&adapter, &nmb::BinaryAdapter::error_occurred);
        const QDateTime before = QDateTime::currentDateTime();
        const bool started = adapter.start_recording(dir.path());
        if (!window.contains(before.toString(STEM_FORMAT))
            || !window.contains(QDateTime::currentDateTime().toString(STEM_FORMAT)))
            continue;
        QVERIFY(!started);
        QCOMPARE(errors.size(), 1);
        QVERIFY(!errors.at(0).at(0).toString().isEmpty());
        QVERIFY(!adapter.is_recording());
        QVERIFY(adapter.recording_file_name().isEmpty());
        QVERIFY(!QFileInfo::exists(dir.filePath("nowhere")));
        return;
    }
    QFAIL("no start landed in a prepared window");
}

void TestBinaryAdapter::directory_is_chosen_and_created_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expected_directory"); // relative to the current directory
    QTest::newRow("empty argument records into the current directory") << QString() << QString(".");
    QTest::newRow("existing relative directory") << QString("here") << QString("here");
    QTest::newRow("several missing relative levels") << QString("out/sub/deeper") << QString("out/sub/deeper");
    QTest::newRow("several missing absolute levels") << QString("<abs>/a/b") << QString("a/b");
}

void TestBinaryAdapter::directory_is_chosen_and_created()
{
    QFETCH(QString, argument);
    QFETCH(QString, expected_directory);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir("here"));
    const CurrentDirectory cwd(dir.path());
    argument.replace("<abs>", dir.path());

    nmb::BinaryAdapter adapter;
    QSignalSpy errors(&adapter, &nmb::BinaryAdapter::error_occurred);
    QVERIFY(adapter.start_recording(argument));
    adapter.record_data("abc");
    adapter.stop_recording();
    QCOMPARE(errors.size(), 0);

    const QFileInfo file(adapter.recording_file_name());
    QCOMPARE(file.absolutePath(), QDir(dir.filePath(expected_directory)).canonicalPath());
    QCOMPARE(file_contents(file.absoluteFilePath()), QByteArray("abc"));
}

void TestBinaryAdapter::unusable_directory_fails_the_start()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    {
        QFile blocker(dir.filePath("plain_file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    nmb::BinaryAdapter adapter;
    QVERIFY(adapter.start_recording(dir.path()));
    adapter.record_data("kept");
    const QString first = adapter.recording_file_name();

    QSignalSpy errors(&adapter, &nmb::BinaryAdapter::error_occurred);
    const QString unusable = dir.filePath("plain_file/sub");
    QVERIFY(!adapter.start_recording(unusable));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), "Unable to create recording directory: " + unusable);
    QVERIFY(!adapter.is_recording());
    QVERIFY(adapter.recording_file_name().isEmpty());
    QCOMPARE(file_contents(first), QByteArray("kept"));
}

void TestBinaryAdapter::file_is_the_concatenation_of_the_data()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::BinaryAdapter adapter;
    QSignalSpy errors(&adapter, &nmb::BinaryAdapter::error_occurred);
    QVERIFY(adapter.start_recording(dir.path()));
    const QByteArray ten(10, 'a');
    const QByteArray twenty(20, 'b');
    adapter.record_data(ten);
    adapter.record_data(QByteArray());
    adapter.record_data(twenty);
    adapter.stop_recording();
    QCOMPARE(errors.size(), 0);
    QCOMPARE(file_contents(adapter.recording_file_name()), ten + twenty);
}

void TestBinaryAdapter::data_outside_a_recording_is_ignored()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::BinaryAdapter adapter;
    QSignalSpy errors(&adapter, &nmb::BinaryAdapter::error_occurred);
    adapter.record_data("before");
    QVERIFY(adapter.start_recording(dir.path()));
    adapter.record_data("during");
    adapter.stop_recording();
    adapter.record_data("after");
    QCOMPARE(errors.size(), 0);
    QCOMPARE(file_contents(adapter.recording_file_name()), QByteArray("during"));
}

void TestBinaryAdapter::stop_keeps_the_name()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::BinaryAdapter adapter;
    QVERIFY(!adapter.is_recording());
    QVERIFY(adapter.recording_file_name().isEmpty());
    QVERIFY(adapter.start_recording(dir.path()));
    QVERIFY(adapter.is_recording());
    const QString name = adapter.recording_file_name();
    adapter.stop_recording();
    adapter.stop_recording();
    QVERIFY(!adapter.is_recording());
    QCOMPARE(adapter.recording_file_name(), name);
    QVERIFY(QFileInfo::exists(name));
}

void TestBinaryAdapter::restart_closes_the_first_file_flushed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::BinaryAdapter adapter;
    QVERIFY(adapter.start_recording(dir.path()));
    const QString first = adapter.recording_file_name();
    adapter.record_data("first");
    QVERIFY(adapter.start_recording(dir.path()));
    const QString second = adapter.recording_file_name();
    QVERIFY(second != first);
    QVERIFY(adapter.is_recording());
    QCOMPARE(size_on_disk(first), 5);
    adapter.record_data("second");
    adapter.stop_recording();
    QCOMPARE(file_contents(first), QByteArray("first"));
    QCOMPARE(file_contents(second), QByteArray("second"));
}

void TestBinaryAdapter::recorded_bytes_reach_the_file_within_the_flush_interval()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::BinaryAdapter adapter;
    QSignalSpy errors(&adapter, &nmb::BinaryAdapter::error_occurred);
    QVERIFY(adapter.start_recording(dir.path()));
    const QString name = adapter.recording_file_name();

    // Not written through one datagram at a time...
    adapter.record_data(QByteArray(100, 'x'));
    QCOMPARE(size_on_disk(name), 0);
    // ...but handed to the system while the recording is still open.
    QTRY_COMPARE_WITH_TIMEOUT(size_on_disk(name), 100, 5000);

    // A second batch after a flush arms the next one.
    adapter.record_data(QByteArray(50, 'y'));
    QTRY_COMPARE_WITH_TIMEOUT(size_on_disk(name), 150, 5000);
    QVERIFY(adapter.is_recording());
    QCOMPARE(errors.size(), 0);
}

QTEST_GUILESS_MAIN(TestBinaryAdapter)
#include "tst_binary_adapter.moc"
