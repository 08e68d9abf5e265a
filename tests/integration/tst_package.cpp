// Makes the Debian packages with cpack and checks them without installing
// them: their fields and contents, every program run from the extracted
// tree, every manual page rendered by man, and lintian's verdict.
#include <nmb/test/programs.h>

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using nmb::test::run_tool;
using Output = nmb::test::ToolRun;

class TestPackage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void control_fields_data();
    void control_fields();
    void contents_data();
    void contents();
    void programs_run_from_package_data();
    void programs_run_from_package();
    void lintian_finds_no_errors_or_warnings();

private:
    QString deb(const QString& package) const
    {
        return dir_.filePath(QStringLiteral("%1_" NMB_VERSION "_%2.deb").arg(package, architecture_));
    }
    QString root() const { return dir_.filePath(QStringLiteral("root")); }

    QTemporaryDir dir_;
    QString architecture_;
};

void TestPackage::initTestCase()
{
    QVERIFY(dir_.isValid());
    Output output = run_tool(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
    QVERIFY2(output.status == 0, qPrintable(output.output));
    architecture_ = output.output.trimmed();

    output = run_tool(QStringLiteral(NMB_CPACK_COMMAND),
                      {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                       QStringLiteral(NMB_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), dir_.path()},
                      {}, 240000);
    QVERIFY2(output.status == 0, qPrintable(output.output));
    for (const QString& package : {QStringLiteral("nimbra"), QStringLiteral("nimbra-dev")}) {
        QVERIFY2(QFileInfo::exists(deb(package)), qPrintable(output.output));
        output = run_tool(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), deb(package), root()});
        QVERIFY2(output.status == 0, qPrintable(output.output));
    }
}

void TestPackage::control_fields_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");

    QTest::newRow("name") << "nimbra" << "Package" << "^nimbra$";
    QTest::newRow("version") << "nimbra" << "Version" << "^" NMB_VERSION "$";
    // Computed from the binaries: the C library and the Qt modules they link.
    QTest::newRow("runtime dependencies")
        << "nimbra" << "Depends" << "libc6 \\(>= .*libqt6core6 \\(>= .*libqt6network6 \\(>= ";
    QTest::newRow("no dependency on our own libraries") << "nimbra" << "Depends" << "^(?!.*nimbra).*$";
    QTest::newRow("development package name") << "nimbra-dev" << "Package" << "^nimbra-dev$";
    QTest::newRow("development package needs the libraries")
        << "nimbra-dev" << "Depends" << "nimbra \\(= " NMB_VERSION "\\)";
}

void TestPackage::control_fields()
{
    QFETCH(QString, package);
    QFETCH(QString, field);
    QFETCH(QString, expected);
    const Output output = run_tool(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), deb(package), field});
    QVERIFY2(output.status == 0, qPrintable(output.output));
    QVERIFY2(QRegularExpression(expected).match(output.output.trimmed()).hasMatch(), qPrintable(output.output));
}

void TestPackage::contents_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("present");

    const QString lib = QStringLiteral("./usr/lib/linux/" NMB_SYSTEM_PROCESSOR "/");
    QTest::newRow("library") << "nimbra" << lib + "libnimbra_udp_adapter.so.1" << true;
    QTest::newRow("no development link with the libraries") << "nimbra" << lib + "libnimbra_udp_adapter.so" << false;
    QTest::newRow("no header with the libraries") << "nimbra" << "./usr/include/nmb/udp_adapter.h" << false;
    QTest::newRow("copyright") << "nimbra" << "./usr/share/doc/nimbra/copyright" << true;
    QTest::newRow("development link") << "nimbra-dev" << lib + "libnimbra_udp_adapter.so" << true;
    QTest::newRow("header") << "nimbra-dev" << "./usr/include/nmb/udp_adapter.h" << true;
    QTest::newRow("export header") << "nimbra-dev" << "./usr/include/nmb/tui_export.h" << true;
    QTest::newRow("CMake package") << "nimbra-dev" << lib + "cmake/Nimbra/NimbraConfigVersion.cmake" << true;
    QTest::newRow("CMake package where CMake looks") << "nimbra-dev" << "./usr/lib/cmake/Nimbra/NimbraConfig.cmake" << true;
    QTest::newRow("pkg-config file") << "nimbra-dev" << lib + "pkgconfig/nimbra_ble_adapter.pc" << true;
    QTest::newRow("no library in the development package") << "nimbra-dev" << lib + "libnimbra_tui.so.1" << false;
}

void TestPackage::contents()
{
    QFETCH(QString, package);
    QFETCH(QString, path);
    QFETCH(bool, present);
    const Output output = run_tool(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), deb(package)});
    QVERIFY2(output.status == 0, qPrintable(output.output));
    const QRegularExpression entry(QStringLiteral(" %1( -> .*)?$").arg(QRegularExpression::escape(path)),
                                   QRegularExpression::MultilineOption);
    QVERIFY2(entry.match(output.output).hasMatch() == present, qPrintable(output.output));
}

void TestPackage::programs_run_from_package_data()
{
    QTest::addColumn<QString>("program");
    for (const QString& program : QStringLiteral(NMB_PROGRAMS).split(QLatin1Char(',')))
        QTest::newRow(qPrintable(program)) << program;
}

// Each program runs from the extracted tree through its RUNPATH alone, and
// its manual page renders with its description and exit statuses.
void TestPackage::programs_run_from_package()
{
    QFETCH(QString, program);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    Output output = run_tool(root() + QStringLiteral("/usr/bin/") + program, {QStringLiteral("--version")}, environment);
    QVERIFY2(output.status == 0, qPrintable(output.output));
    QVERIFY2(output.output.startsWith(QStringLiteral("%1 " NMB_VERSION "\n").arg(program)), qPrintable(output.output));

    environment.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
    output = run_tool(QStringLiteral("man"),
                 {QStringLiteral("-P"), QStringLiteral("cat"), QStringLiteral("-l"),
                  root() + QStringLiteral("/usr/share/man/man1/%1.1.gz").arg(program)},
                 environment);
    QVERIFY2(output.status == 0, qPrintable(output.output));
    QVERIFY2(QRegularExpression(QStringLiteral("NAME\\n\\s+%1\\s+-\\s+\\w").arg(program)).match(output.output).hasMatch(),
             qPrintable(output.output));
    for (const QString& section : {QStringLiteral("SYNOPSIS"), QStringLiteral("--help"), QStringLiteral("EXIT STATUS")})
        QVERIFY2(output.output.contains(section), qPrintable(output.output));
}

// A warning that cannot be fixed would be named here (--suppress-tags) and in
// the README, with its reason.
void TestPackage::lintian_finds_no_errors_or_warnings()
{
    const Output output =
        run_tool(QStringLiteral("lintian"),
                 {QStringLiteral("--fail-on"), QStringLiteral("error,warning"), deb(QStringLiteral("nimbra")),
                  deb(QStringLiteral("nimbra-dev"))},
                 {}, 240000);
    QVERIFY2(output.status == 0, qPrintable(output.output));
    qInfo().noquote() << output.output;
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
