// Installs the build into a temporary prefix and checks that the installed
// programs find their libraries through their own RUNPATH alone; then moves
// the tree and builds the examples against it as an outside user would,
// through the CMake package and through pkg-config.
#include <nmb/test/programs.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

using nmb::test::run_tool;

// This environment without LD_LIBRARY_PATH, so only RUNPATHs find libraries.
QProcessEnvironment without_library_path()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

// The value of one dynamic-section entry (SONAME, RUNPATH, RPATH) as readelf shows it.
QString dynamic_entry(const QString& file, const QString& tag)
{
    const QString dump = run_tool(QStringLiteral("readelf"), {QStringLiteral("-d"), file}).output;
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
    void package_search_data();
    void package_search();
    void moved_tree_builds_examples();
    void examples_run_data();
    void examples_run();

private:
    QString prefix() const { return root_.filePath(moved_ ? QStringLiteral("moved/sdk") : QStringLiteral("installed")); }
    QString lib_dir() const { return prefix() + QStringLiteral("/lib/linux/" NMB_SYSTEM_PROCESSOR); }

    QTemporaryDir root_;
    bool moved_ = false;
};

void TestInstall::initTestCase()
{
    QVERIFY(root_.isValid());
    const auto install = run_tool(QStringLiteral(NMB_CMAKE_COMMAND), {QStringLiteral("--install"),
                                  QStringLiteral(NMB_BUILD_DIR), QStringLiteral("--prefix"), prefix()});
    QVERIFY2(install.status == 0, qPrintable(install.output));
}

void TestInstall::libraries_carry_soname_and_runpath()
{
    const QStringList libraries =
        QDir(lib_dir()).entryList({QStringLiteral("libnimbra_*.so*")}, QDir::Files);
    QVERIFY2(!libraries.isEmpty(), qPrintable(lib_dir()));
    for (const QString& name : libraries) {
        // Files are only the versioned library and its soname link; the
        // development link is a symbolic link, not a file of its own.
        QVERIFY2(QRegularExpression(QStringLiteral("^libnimbra_\\w+\\.so\\.1\\.0\\.0$|^libnimbra_\\w+\\.so(\\.1)?$"))
                     .match(name).hasMatch(), qPrintable(name));
        const QString path = QDir(lib_dir()).filePath(name);
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

// The library, and what building against it takes: its header, the
// generated export header, the development link and its pkg-config file.
void TestInstall::every_library_is_installed()
{
    QFETCH(QString, name);
    const QDir lib(lib_dir());
    const QString soname = QStringLiteral("libnimbra_%1.so.1").arg(name);
    QVERIFY2(lib.exists(soname), qPrintable(lib.filePath(soname)));
    QCOMPARE(dynamic_entry(lib.filePath(soname), QStringLiteral("SONAME")), soname);
    const QFileInfo link(lib.filePath(QStringLiteral("libnimbra_%1.so").arg(name)));
    QVERIFY2(link.isSymLink(), qPrintable(link.filePath()));
    QCOMPARE(link.symLinkTarget(), lib.filePath(soname));

    const QDir include(prefix() + QStringLiteral("/include/nmb"));
    for (const QString& header : {name + QStringLiteral(".h"), name + QStringLiteral("_export.h")})
        QVERIFY2(include.exists(header), qPrintable(include.filePath(header)));
    const QString pc = QStringLiteral("pkgconfig/nimbra_%1.pc").arg(name);
    QVERIFY2(lib.exists(pc), qPrintable(lib.filePath(pc)));
}

void TestInstall::programs_run_without_library_path_data()
{
    QTest::addColumn<QString>("program");
    const QStringList programs = QDir(prefix() + QStringLiteral("/bin"))
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
    const QString path = prefix() + QStringLiteral("/bin/") + program;
    QCOMPARE(dynamic_entry(path, QStringLiteral("RUNPATH")),
             QStringLiteral("$ORIGIN/../lib/linux/" NMB_SYSTEM_PROCESSOR));

    const QProcessEnvironment environment = without_library_path();
    const auto version = run_tool(path, {QStringLiteral("--version")}, environment);
    QVERIFY2(version.status == 0, qPrintable(version.output));
    QVERIFY2(version.output.contains(QStringLiteral("1.0.0")), qPrintable(version.output));

    // Every library of ours that the program needs resolves inside the prefix.
    const QString resolved = run_tool(QStringLiteral("ldd"), {path}, environment).output;
    const QString installed_libs = QFileInfo(lib_dir()).canonicalFilePath();
    const QRegularExpression entry(QStringLiteral("(libnimbra_\\S+) => (\\S+)"));
    for (const QString& line : resolved.split(QLatin1Char('\n'))) {
        const auto match = entry.match(line);
        if (!match.hasMatch())
            continue;
        QVERIFY2(QFileInfo(match.captured(2)).canonicalFilePath().startsWith(installed_libs + QLatin1Char('/')),
                 qPrintable(line));
    }
}

// What find_package(Nimbra ...) answers for a prefix. Finding Qt takes an
// enabled language (its library architecture); a refusal comes before that.
void TestInstall::package_search_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("message");

    QTest::newRow("every library") << "1.0" << true << "";
    QTest::newRow("unknown component")
        << "1.0 COMPONENTS udp_adapter no_such_library" << false << "no_such_library";
    QTest::newRow("next major version") << "2.0 COMPONENTS udp_adapter" << false << "1.0.0";
    QTest::newRow("newer minor version") << "1.1 COMPONENTS udp_adapter" << false << "1.0.0";
}

void TestInstall::package_search()
{
    QFETCH(QString, request);
    QFETCH(bool, found);
    QFETCH(QString, message);

    QTemporaryDir project;
    QVERIFY(project.isValid());
    QFile list(project.filePath(QStringLiteral("CMakeLists.txt")));
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write(QStringLiteral("cmake_minimum_required(VERSION 3.25)\n"
                              "project(search LANGUAGES %2)\n"
                              "find_package(Nimbra %1 REQUIRED)\n"
                              "foreach(target tui udp_adapter websocket_adapter local_socket_adapter\n"
                              "               ble_adapter binary_adapter)\n"
                              "  if(TARGET Nimbra::${target})\n"
                              "    message(STATUS \"imported Nimbra::${target}\")\n"
                              "  endif()\n"
                              "endforeach()\n")
                   .arg(request, found ? QStringLiteral("CXX") : QStringLiteral("NONE"))
                   .toUtf8());
    list.close();

    const auto configure = run_tool(QStringLiteral(NMB_CMAKE_COMMAND),
                                    {QStringLiteral("-S"), project.path(), QStringLiteral("-B"),
                                     project.filePath(QStringLiteral("build")),
                                     QStringLiteral("-DCMAKE_PREFIX_PATH=") + prefix()});
    QVERIFY2((configure.status == 0) == found, qPrintable(configure.output));
    QVERIFY2(configure.output.contains(found ? QStringLiteral("imported Nimbra::udp_adapter") : message),
             qPrintable(configure.output));
}

// Moves the installed tree, then builds both examples against it through
// the CMake package, and again through pkg-config and the compiler alone;
// with this build's own compiler flags, so that a sanitizer build builds
// sanitized examples.
void TestInstall::moved_tree_builds_examples()
{
    QVERIFY(QDir(root_.path()).mkdir(QStringLiteral("moved")));
    QVERIFY(QDir().rename(prefix(), root_.filePath(QStringLiteral("moved/sdk"))));
    moved_ = true;

    const QString build = root_.filePath(QStringLiteral("cmake-build"));
    auto step = run_tool(QStringLiteral(NMB_CMAKE_COMMAND),
                         {QStringLiteral("-S"), QStringLiteral(NMB_SOURCE_DIR "/examples"), QStringLiteral("-B"),
                          build, QStringLiteral("-DCMAKE_PREFIX_PATH=") + prefix(),
                          QStringLiteral("-DCMAKE_BUILD_TYPE=Release"),
                          QStringLiteral("-DCMAKE_CXX_FLAGS=" NMB_CXX_FLAGS),
                          QStringLiteral("-DCMAKE_EXE_LINKER_FLAGS=" NMB_EXE_LINKER_FLAGS)});
    QVERIFY2(step.status == 0, qPrintable(step.output));
    step = run_tool(QStringLiteral(NMB_CMAKE_COMMAND), {QStringLiteral("--build"), build});
    QVERIFY2(step.status == 0, qPrintable(step.output));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PKG_CONFIG_PATH"), lib_dir() + QStringLiteral("/pkgconfig"));
    const QList<QPair<QString, QString>> examples = {
        {QStringLiteral("playback/play"), QStringLiteral("nimbra_binary_adapter")},
        {QStringLiteral("udp_listener/listen"), QStringLiteral("nimbra_udp_adapter")}};
    for (const auto& [example, module] : examples) {
        const auto flags = run_tool(QStringLiteral("pkg-config"),
                                    {QStringLiteral("--cflags"), QStringLiteral("--libs"), module}, environment);
        QVERIFY2(flags.status == 0, qPrintable(flags.output));
        const QString folder = example.section(QLatin1Char('/'), 0, 0);
        QVERIFY(QDir(root_.path()).mkpath(QStringLiteral("pkg-config-build/") + folder));
        QStringList arguments = {QStringLiteral(NMB_SOURCE_DIR "/examples/%1/main.cpp").arg(folder),
                                 QStringLiteral("-o"), root_.filePath(QStringLiteral("pkg-config-build/") + example)};
        arguments += QProcess::splitCommand(flags.output.trimmed());
        arguments += QProcess::splitCommand(QStringLiteral(NMB_CXX_FLAGS " " NMB_EXE_LINKER_FLAGS));
        step = run_tool(QStringLiteral(NMB_CXX_COMPILER), arguments);
        QVERIFY2(step.status == 0, qPrintable(step.output));
    }
}

void TestInstall::examples_run_data()
{
    QTest::addColumn<QString>("build");
    for (const char* build : {"cmake-build", "pkg-config-build"})
        QTest::newRow(build) << QString::fromLatin1(build);
}

// The examples run without LD_LIBRARY_PATH on recordings and a stream made
// by the moved tree's own synthetic source.
void TestInstall::examples_run()
{
    QFETCH(QString, build);
    QVERIFY(moved_);
    const QProcessEnvironment environment = without_library_path();
    const QString synth = prefix() + QStringLiteral("/bin/nimbra_mocap_synth");
    const QString play = root_.filePath(build + QStringLiteral("/playback/play"));
    const QString listen = root_.filePath(build + QStringLiteral("/udp_listener/listen"));

    const QString walk = root_.filePath(build + QStringLiteral("-walk.bin"));
    const QString broken = root_.filePath(build + QStringLiteral("-broken.bin"));
    auto step = run_tool(synth, {QStringLiteral("-o"), walk, QStringLiteral("--rate"), QStringLiteral("120"),
                                 QStringLiteral("--frames"), QStringLiteral("24")}, environment);
    QVERIFY2(step.status == 0, qPrintable(step.output));
    step = run_tool(synth, {QStringLiteral("-o"), broken, QStringLiteral("--rate"), QStringLiteral("120"),
                            QStringLiteral("--frames"), QStringLiteral("5"), QStringLiteral("--bad-crc-at"),
                            QStringLiteral("3")}, environment);
    QVERIFY2(step.status == 0, qPrintable(step.output));

    step = run_tool(play, {walk, QStringLiteral("4")}, environment);
    QVERIFY2(step.status == 0 && step.output.startsWith(QStringLiteral("24 frames in ")), qPrintable(step.output));
    step = run_tool(play, {broken, QStringLiteral("4")}, environment);
    QVERIFY2(step.status == 1 && step.output.contains(QStringLiteral("error: Frame CRC mismatch.")),
             qPrintable(step.output));
    QVERIFY2(step.output.contains(QStringLiteral("3 frames in ")), qPrintable(step.output));

    // The listener prints its port, then the synthetic source sends to it.
    QProcess listener;
    listener.setProcessEnvironment(environment);
    listener.start(listen, {QStringLiteral("10")});
    QVERIFY(listener.waitForReadyRead(30000));
    const QByteArray first_line = listener.readLine();
    const QRegularExpression listening(QStringLiteral("^Listening on 127\\.0\\.0\\.1:(\\d+)\\n$"));
    const auto match = listening.match(QString::fromUtf8(first_line));
    QVERIFY2(match.hasMatch(), first_line.constData());
    step = run_tool(synth, {QStringLiteral("--port"), match.captured(1), QStringLiteral("--rate"), QStringLiteral("200"),
                            QStringLiteral("--frames"), QStringLiteral("10")}, environment);
    QVERIFY2(step.status == 0, qPrintable(step.output));
    const bool ended = listener.waitForFinished(30000);
    if (!ended)
        listener.kill();
    const QString received = QString::fromUtf8(listener.readAll());
    QVERIFY2(ended && listener.exitCode() == 0, qPrintable(received));
    QCOMPARE(received, QStringLiteral("Received 10 datagram(s), 18600 byte(s)\n  frame ID 0: 10\n"));
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
