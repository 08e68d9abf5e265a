// Installs the build into a temporary prefix and checks that the installed
// programs find their libraries through their own RUNPATH alone.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString run(const QString& program, const QStringList& arguments, int* exit_code = nullptr,
            const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(2000);
    }
    if (exit_code)
        *exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
}

// The value of one dynamic-section entry (SONAME, RUNPATH, RPATH) as readelf shows it.
QString dynamic_entry(const QString& file, const QString& tag)
{
    const QString dump = run(QStringLiteral("readelf"), {QStringLiteral("-d"), file});
    const QRegularExpression re(QStringLiteral("\\(%1\\)\\s+[^\\[]*\\[([^\\]]*)\\]").arg(tag));
    const auto match = re.match(dump);
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void libraries_carry_soname_and_runpath();
    void every_library_is_installed_data();
    void every_library_is_installed();
    void programs_run_without_library_path_data();
    void programs_run_without_library_path();

private:
    QTemporaryDir prefix_;
    QString lib_dir_;
};

void TestInstall::initTestCase()
{
    QVERIFY(prefix_.isValid());
    int status = -1;
    const QString output = run(QStringLiteral(NMB_CMAKE_COMMAND),
                               {QStringLiteral("--install"), QStringLiteral(NMB_BUILD_DIR),
                                QStringLiteral("--prefix"), prefix_.path()},
                               &status);
    QVERIFY2(status == 0, qPrintable(output));
    lib_dir_ = prefix_.filePath(QStringLiteral("lib/linux/" NMB_SYSTEM_PROCESSOR));
}

void TestInstall::libraries_carry_soname_and_runpath()
{
    const QStringList libraries =
        QDir(lib_dir_).entryList({QStringLiteral("libnimbra_*.so*")}, QDir::Files);
    QVERIFY2(!libraries.isEmpty(), qPrintable(lib_dir_));
    for (const QString& name : libraries) {
        // Only the versioned file is installed: no development symlink.
        QVERIFY2(QRegularExpression(QStringLiteral("^libnimbra_\\w+\\.so\\.1\\.0\\.0$|^libnimbra_\\w+\\.so\\.1$"))
                     .match(name).hasMatch(), qPrintable(name));
        const QString path = QDir(lib_dir_).filePath(name);
        const QString soname = dynamic_entry(path, QStringLiteral("SONAME"));
        QVERIFY2(soname.startsWith(QStringLiteral("libnimbra_")) && soname.endsWith(QStringLiteral(".so.1")),
                 qPrintable(name + QStringLiteral(": ") + soname));
        QCOMPARE(dynamic_entry(path, QStringLiteral("RUNPATH")), QStringLiteral("$ORIGIN:$ORIGIN/../lib"));
    }
}

void TestInstall::every_library_is_installed_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("console") << "tui";
    QTest::newRow("recording adapter") << "binary_adapter";
    QTest::newRow("UDP adapter") << "udp_adapter";
    QTest::newRow("WebSocket adapter") << "websocket_adapter";
    QTest::newRow("local socket adapter") << "local_socket_adapter";
    QTest::newRow("Bluetooth LE adapter") << "ble_adapter";
}

void TestInstall::every_library_is_installed()
{
    QFETCH(QString, name);
    const QString soname = QStringLiteral("libnimbra_%1.so.1").arg(name);
    const QString path = QDir(lib_dir_).filePath(soname);
    QVERIFY2(QFile::exists(path), qPrintable(path));
    QCOMPARE(dynamic_entry(path, QStringLiteral("SONAME")), soname);
}

void TestInstall::programs_run_without_library_path_data()
{
    QTest::addColumn<QString>("program");
    const QStringList programs = QDir(prefix_.filePath(QStringLiteral("bin")))
                                     .entryList({QStringLiteral("nimbra_*")}, QDir::Files);
    for (const QString& program : programs)
        QTest::newRow(qPrintable(program)) << program;
    if (programs.isEmpty())
        QTest::newRow("no program installed") << QString();
}

void TestInstall::programs_run_without_library_path()
{
    QFETCH(QString, program);
    QVERIFY(!program.isEmpty());
    const QString path = prefix_.filePath(QStringLiteral("bin/") + program);
    QCOMPARE(dynamic_entry(path, QStringLiteral("RUNPATH")),
             QStringLiteral("$ORIGIN/../lib/linux/" NMB_SYSTEM_PROCESSOR));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    int status = -1;
    const QString output = run(path, {QStringLiteral("--version")}, &status, environment);
    QVERIFY2(status == 0, qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("1.0.0")), qPrintable(output));

    // Every library of ours that the program needs resolves inside the prefix.
    const QString resolved = run(QStringLiteral("ldd"), {path}, nullptr, environment);
    const QString installed_libs = QFileInfo(lib_dir_).canonicalFilePath();
    const QRegularExpression entry(QStringLiteral("(libnimbra_\\S+) => (\\S+)"));
    for (const QString& line : resolved.split(QLatin1Char('\n'))) {
        const auto match = entry.match(line);
        if (!match.hasMatch())
            continue;
        QVERIFY2(QFileInfo(match.captured(2)).canonicalFilePath().startsWith(installed_libs + QLatin1Char('/')),
                 qPrintable(line));
    }

}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
