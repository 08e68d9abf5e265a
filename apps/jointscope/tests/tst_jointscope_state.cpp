#include "jointscope_state.h"

#include <nmb/test/frames.h>

#include <QTest>

#include <cmath>
#include <limits>

using nmb::JointscopeState;

namespace {

const QHostAddress SENDER(QHostAddress::LocalHost);

} // namespace

// The viewer's state with the time passed in: the frame-rate samples and
// what a tick reports, independent of the machine's speed.
class TestJointscopeState : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void ticks_sample_the_frame_rate_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<qint64>("tick_ms");
        QTest::addColumn<quint64>("fps");
        QTest::addColumn<bool>("shown");

        QTest::newRow("idle tick") << 0 << qint64(30) << quint64(0) << false;
        QTest::newRow("idle sample") << 0 << qint64(600) << quint64(0) << false;
        QTest::newRow("frames before the first sample") << 30 << qint64(499) << quint64(0) << true;
        QTest::newRow("60 frames over one second") << 60 << qint64(1000) << quint64(60) << true;
        QTest::newRow("truncated") << 60 << qint64(1001) << quint64(59) << true;
        QTest::newRow("1000 frames/s") << 500 << qint64(500) << quint64(1000) << true;
    }

    void ticks_sample_the_frame_rate()
    {
        QFETCH(int, frames);
        QFETCH(qint64, tick_ms);
        QFETCH(quint64, fps);
        QFETCH(bool, shown);

        JointscopeState state;
        for (int i = 0; i < frames; ++i)
            QVERIFY(!state.receive(nmb::test::mocap_frame_bytes(std::uint64_t(i) * 1000), SENDER, 4000));
        QCOMPARE(state.tick(tick_ms), shown);
        QCOMPARE(state.fps(), fps);
        QCOMPARE(state.decoded(), quint64(frames));
        // The frame was shown once; the next tick has nothing new.
        QVERIFY(!state.tick(tick_ms + 30));
    }

    // The cells must read exactly as Qt's own fixed notation writes them.
    void values_are_written_as_qt_writes_them_data()
    {
        QTest::addColumn<float>("value");

        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        QTest::newRow("zero") << 0.0f;
        QTest::newRow("negative zero") << -0.0f;
        QTest::newRow("negative, rounds to zero") << -0.0004f;
        QTest::newRow("positive, rounds to zero") << 0.0004f;
        QTest::newRow("tie") << 0.0625f;
        QTest::newRow("negative tie") << -0.0625f;
        QTest::newRow("tie above one") << 1.0625f;
        QTest::newRow("near a half thousandth") << 0.0005f;
        QTest::newRow("minus one half") << -0.5f;
        QTest::newRow("whole") << 42.0f;
        QTest::newRow("carry into the units") << 9.9996f;
        QTest::newRow("large") << 123456.789f;
        QTest::newRow("beyond the own range") << -3.4e38f;
        QTest::newRow("tiny") << 1e-30f;
        QTest::newRow("NaN") << nan;
        QTest::newRow("negative NaN") << -nan;
        QTest::newRow("infinity") << inf;
        QTest::newRow("negative infinity") << -inf;
    }

    void values_are_written_as_qt_writes_them()
    {
        QFETCH(float, value);

        const QString qt = QString::number(double(value), 'f', 3);
        nmb::types::Pose pose;
        pose.position = {value, 1.0f, value};
        pose.orientation = {value, value, -2.0f, value};
        QCOMPARE(nmb::position_text(pose), qt + QStringLiteral(", 1.000, ") + qt);
        QCOMPARE(nmb::orientation_text(pose), qt + QStringLiteral(", ") + qt + QStringLiteral(", -2.000, ") + qt);
    }

    void rejection_is_reported_at_once()
    {
        JointscopeState state;
        QByteArray damaged = nmb::test::mocap_frame_bytes(5);
        damaged[100] = char(damaged[100] ^ 0x01);
        QVERIFY(state.receive(damaged, SENDER, 4000));
        QCOMPARE(state.rejected(), quint64(1));
        QVERIFY(!state.tick(30));
        QVERIFY(state.status_text(QStringLiteral("-"), 15000)
                    .endsWith(QStringLiteral("来源 127.0.0.1:4000 | 拒绝 1 帧 | 错误：拒绝一帧数据（解码结果 4）")));
    }
};

QTEST_GUILESS_MAIN(TestJointscopeState)
#include "tst_jointscope_state.moc"
