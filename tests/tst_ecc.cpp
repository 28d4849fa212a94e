// The page code, and what checking a page against its stored code finds and repairs.
#include "nand/ecc.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

void flip(QByteArray &bytes, int bitIndex)
{
    bytes[bitIndex / 8] = char(bytes[bitIndex / 8] ^ (1 << (bitIndex % 8)));
}

// Outcomes per subpage: c clean, d damaged code, u uncorrectable, f<offset>.<bit>, ? misfiled.
QString check(QByteArray &page, const QByteArray &spare)
{
    const EccOutcomes outcomes = correctPageEcc(reinterpret_cast<uchar *>(page.data()),
                                                reinterpret_cast<const uchar *>(spare.constData()));
    QStringList parts;
    for (const EccOutcome &o : outcomes)
        parts << (o.subpage != parts.size() ? QStringLiteral("?")
                  : o.kind == EccOutcome::Corrected
                      ? QStringLiteral("f%1.%2").arg(o.offset).arg(o.bit)
                      : QString(QLatin1Char("cd.u"[o.kind])));
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestEcc : public QObject
{
    Q_OBJECT

private:
    QByteArray original = QByteArray(EccPageSize, Qt::Uninitialized);
    QByteArray spare = QByteArray(EccSpareRecordSize, 0);

private slots:
    void initTestCase()
    {
        QRandomGenerator(2).fillRange(reinterpret_cast<quint32 *>(original.data()),
                                      EccPageSize / 4);
        fillSpareRecord(reinterpret_cast<const uchar *>(original.constData()),
                        reinterpret_cast<uchar *>(spare.data()));
    }

    // A worked code; every single flip of the data is repaired, every one of the code recognised.
    void singleFlips()
    {
        QByteArray oneBit(EccPageSize, 0);
        oneBit[0] = 1;
        QCOMPARE(calcPageEcc(oneBit).toHex(), "565554" + QByteArray(42, '0'));
        QVERIFY(calcPageEcc(QByteArray(EccPageSize + 1, 0)).isEmpty());
        for (int bit = 0; bit < (EccPageSize + EccPageCodeSize) * 8; ++bit) {
            QByteArray page = original;
            QByteArray damaged = spare;
            const bool inData = bit < EccPageSize * 8;
            QString expected = QStringLiteral("c c c c c c c c");
            if (inData) {
                flip(page, bit);
                expected.replace(bit / 8 / EccSubpageSize * 2, 1,
                                 QStringLiteral("f%1.%2").arg(bit / 8).arg(bit % 8));
            } else {
                flip(damaged, 16 + bit - EccPageSize * 8);
                expected[(bit / 8 - EccPageSize) / 3 * 2] = 'd';
            }
            QCOMPARE(check(page, damaged), expected);
            QVERIFY(page == original);
        }
    }

    // Checking stops at an uncorrectable subpage; without the mark 0xFF 0x00 nothing is checked.
    void uncorrectableAndUnmarked()
    {
        QByteArray expected = original;
        for (const int bit : {769 * 8 + 1, 868 * 8 + 6, 1289 * 8 + 2})
            flip(expected, bit);
        QByteArray page = expected;
        flip(page, 263 * 8);
        for (const int markBit : {0, 8}) {
            QByteArray unmarked = spare;
            flip(unmarked, markBit);
            QByteArray unchecked = page;
            QCOMPARE(check(unchecked, unmarked), QString());
            QVERIFY(unchecked == page);
        }
        QCOMPARE(check(page, spare), "c f263.0 c u");
        QVERIFY(page == expected);
    }
};

QTEST_GUILESS_MAIN(TestEcc)
#include "tst_ecc.moc"
