#include "recorder_options.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {

nmb::reeltake::OptionsResult parse(QCommandLineParser& parser, const QStringList& arguments)
{
    nmb::reeltake::configure_parser(parser);
    if (!parser.parse(QStringList{"nimbra_reeltake"} + arguments))
        qWarning() << parser.errorText();
    return nmb::reeltake::read_options(parser);
}

} // namespace

class TestRecorderOptions : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void port_is_checked_data();
    void port_is_checked();
    void positional_arguments_are_refused();
    void directory_becomes_absolute_data();
    void directory_becomes_absolute();
};

void TestRecorderOptions::port_is_checked_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("message");
    QTest::newRow("default") << QStringList{} << true << 9000 << QString();
    QTest::newRow("lowest") << QStringList{"--port", "1"} << true << 1 << QString();
    QTest::newRow("highest") << QStringList{"--port", "65535"} << true << 65535 << QString();
    QTest::newRow("zero") << QStringList{"--port", "0"} << false << 0 << "Invalid local UDP port: 0";
    QTest::newRow("one above the highest")
        << QStringList{"--port", "65536"} << false << 0 << "Invalid local UDP port: 65536";
    QTest::newRow("negative as a separate value")
        << QStringList{"--port", "-1"} << false << 0 << "Invalid local UDP port: -1";
    QTest::newRow("negative after an equals sign")
        << QStringList{"--port=-1"} << false << 0 << "Invalid local UDP port: -1";
    QTest::newRow("word") << QStringList{"--port", "abc"} << false << 0 << "Invalid local UDP port: abc";
    QTest::newRow("empty") << QStringList{"--port="} << false << 0 << "Invalid local UDP port: ";
    QTest::newRow("hexadecimal") << QStringList{"--port", "0x10"} << false << 0
                                 << "Invalid local UDP port: 0x10";
    QTest::newRow("fraction") << QStringList{"--port", "90.5"} << false << 0
                              << "Invalid local UDP port: 90.5";
    QTest::newRow("far beyond 16 bits") << QStringList{"--port", "4294967297"} << false << 0
                                        << "Invalid local UDP port: 4294967297";
}

void TestRecorderOptions::port_is_checked()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, accepted);
    QFETCH(int, port);
    QFETCH(QString, message);
    QCommandLineParser parser;
    const auto result = parse(parser, arguments);
    if (accepted) {
        QCOMPARE(result.status, nmb::reeltake::OptionsStatus::Ok);
        QCOMPARE(int(result.options.port), port);
    } else {
        QCOMPARE(result.status, nmb::reeltake::OptionsStatus::InvalidPort);
        QCOMPARE(result.message, message);
    }
}

void TestRecorderOptions::positional_arguments_are_refused()
{
    QCommandLineParser parser;
    const auto result = parse(parser, {"--port", "abc", "extra"});
    // Positional arguments are reported before the port is looked at.
    QCOMPARE(result.status, nmb::reeltake::OptionsStatus::PositionalArguments);
    QCOMPARE(result.message, "Unexpected positional arguments.\n\n" + parser.helpText());
    QVERIFY(result.message.contains("Record UDP Nimbra protocol frames to a binary file."));
    QVERIFY(result.message.contains("Local UDP port (1-65535)."));
    QVERIFY(result.message.contains("Directory used to save recordings."));
}

void TestRecorderOptions::directory_becomes_absolute_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected"); // relative to the current directory
    QTest::newRow("default is the current directory") << QStringList{} << QString("");
    QTest::newRow("short option, relative levels") << QStringList{"-d", "out/sub"} << QString("out/sub");
    QTest::newRow("long option, parent step") << QStringList{"--directory", "a/../b"} << QString("b");
}

void TestRecorderOptions::directory_becomes_absolute()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    QCommandLineParser parser;
    const auto result = parse(parser, arguments);
    QDir::setCurrent(previous);

    QCOMPARE(result.status, nmb::reeltake::OptionsStatus::Ok);
    const QString base = QDir(dir.path()).canonicalPath();
    QCOMPARE(result.options.directory, expected.isEmpty() ? base : base + "/" + expected);
    QVERIFY(!QFileInfo::exists(result.options.directory) || expected.isEmpty());
}

QTEST_GUILESS_MAIN(TestRecorderOptions)
#include "tst_recorder_options.moc"
