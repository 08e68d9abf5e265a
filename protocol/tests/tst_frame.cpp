#include <nmb/protocol/crc32.h>
#include <nmb/protocol/frame.h>

#include <QTest>

using namespace nmb::protocol;

class TestFrame : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void checksum_data();
    void checksum();
    void worked_examples_data();
    void worked_examples();
};

void TestFrame::checksum_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("check value of 123456789") << QByteArray("123456789") << quint32(0x3A8639CB);
    QTest::newRow("no bytes") << QByteArray() << quint32(0x00000001);
    QTest::newRow("single sync byte") << QByteArray("\xAA", 1) << quint32(0x41047A60);
}

void TestFrame::checksum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint32, expected);
    QCOMPARE(frame_crc32(bytes.constData(), bytes.size()), expected);
}

void TestFrame::worked_examples_data()
{
    QTest::addColumn<quint16>("frame_id");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("mocap timestamp only")
        << quint16(0) << QByteArray::fromHex("40420f0000000000")
        << QByteArray::fromHex("aa550000080040420f0000000000297c020d");
    QTest::newRow("empty frame of ID 1")
        << quint16(1) << QByteArray() << QByteArray::fromHex("aa5501000000f3c6943b");
}

void TestFrame::worked_examples()
{
    QFETCH(quint16, frame_id);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expected);
    const QByteArray frame = build_frame(frame_id, payload);
    QCOMPARE(frame.toHex(), expected.toHex());
    QCOMPARE(check_frame(frame), FrameCheck::Ok);
}

QTEST_GUILESS_MAIN(TestFrame)
#include "tst_frame.moc"
