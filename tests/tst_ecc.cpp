#include "nand/ecc.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

// The code computed bit by bit, as plainly as possible, to check the word-at-a-time version.
QByteArray referenceEcc(const QByteArray &page)
{
    QByteArray code;
    for (int k = 0; k < EccSubpageCount; ++k) {
        quint32 acc = 0;
        for (int j = 0; j < EccSubpageSize; ++j) {
            const int byte = uchar(page[k * EccSubpageSize + j]);
            const int address = (j + 1) % 256;
            for (int b = 0; b < 8; ++b) {
                if (!((byte >> b) & 1))
                    continue;
                for (int m = 0; m < 8; ++m)
                    acc ^= 1u << ((address >> m) & 1 ? 2 * m + 1 : 2 * m);
                acc ^= (1u << (18 + (b & 1))) | (1u << (20 + ((b >> 1) & 1))) |
                       (1u << (22 + (b >> 2)));
            }
        }
        code.append(char(acc)).append(char(acc >> 8)).append(char(acc >> 16));
    }
    return code;
}

QByteArray randomPage(QRandomGenerator &random)
{
    QByteArray page(EccPageSize, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(page.data()), EccPageSize / 4);
    return page;
}

QByteArray spareRecord(const QByteArray &page)
{
    QByteArray spare(EccSpareRecordSize, Qt::Uninitialized);
    fillSpareRecord(reinterpret_cast<const uchar *>(page.constData()),
                    reinterpret_cast<uchar *>(spare.data()));
    return spare;
}

void flip(QByteArray &bytes, int bitIndex)
{
    bytes[bitIndex / 8] = char(bytes[bitIndex / 8] ^ (1 << (bitIndex % 8)));
}

// Checks `page` against `spare` and describes the outcomes, one per subpage: c clean, d damaged
// code, u uncorrectable, f<offset>.<bit> corrected, ? an outcome filed under the wrong subpage.
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

constexpr int bitAt(int offset, int bit)
{
    return offset * 8 + bit;
}

} // namespace

class TestEcc : public QObject
{
    Q_OBJECT

private slots:
    void workedValues()
    {
        // The code of subpage 5 filled with `fill` but for `value` at `offset`.
        const auto code = [](char fill, int offset, char value) {
            QByteArray page(EccPageSize, fill);
            page[5 * EccSubpageSize + offset] = value;
            return calcPageEcc(page).mid(5 * EccSubpageCodeSize, EccSubpageCodeSize).toHex();
        };
        QCOMPARE(code(0x00, 0, 0x00), "000000");
        QCOMPARE(code(char(0xFF), 0, char(0xFF)), "000000");
        QCOMPARE(code(0x00, 0, 0x01), "565554");
        QCOMPARE(code(0x00, 255, char(0x80)), "5555a8");
        QVERIFY(calcPageEcc(QByteArray(EccPageSize - 1, 0)).isEmpty());
        QVERIFY(calcPageEcc(QByteArray(EccPageSize + 1, 0)).isEmpty());
    }

    void matchesReference()
    {
        QRandomGenerator random(1);
        for (int i = 0; i < 200; ++i) {
            QByteArray page = randomPage(random);
            // Sparse pages too, so that single bytes are exercised, not only noise.
            if (i % 2)
                page = QByteArray(EccPageSize, char(0xFF)).replace(i * 7 % EccPageSize, 3, page, 3);
            QCOMPARE(calcPageEcc(page).toHex(), referenceEcc(page).toHex());
        }
    }

    // Single flips at every position are checked below; these are the combinations.
    void correction_data()
    {
        QTest::addColumn<QList<int>>("dataFlips");
        // Bit indexes within the 24 code bytes; -16..-1 are the mark bytes before them.
        QTest::addColumn<QList<int>>("spareFlips");
        QTest::addColumn<QString>("outcomes");
        QTest::addColumn<QList<int>>("remaining"); // data flips still present afterwards

        const QList<int> two{bitAt(10, 1), bitAt(20, 2)};
        QTest::newRow("two flips") << two << QList<int>{} << "u" << two;
        QTest::newRow("data and code") << QList<int>{bitAt(600, 4)} << QList<int>{bitAt(6, 0)}
                                       << "c c u" << QList<int>{bitAt(600, 4)};
        // Subpage 1 is repaired, subpage 3 stops the check, subpage 5 is never looked at.
        const QList<int> later{bitAt(768 + 1, 1), bitAt(768 + 100, 6), bitAt(1280 + 9, 2)};
        QTest::newRow("stop after uncorrectable")
            << QList<int>{bitAt(263, 0)} + later << QList<int>{} << "c f263.0 c u" << later;
        // Without the mark 0xFF 0x00 (erased, or programmed without a code) nothing is tested.
        const QList<int> one{bitAt(3, 0)};
        QTest::newRow("first mark byte") << one << QList<int>{-16} << "" << one;
        QTest::newRow("second mark byte") << one << QList<int>{-8} << "" << one;
    }

    void correction()
    {
        QFETCH(QList<int>, dataFlips);
        QFETCH(QList<int>, spareFlips);
        QFETCH(QList<int>, remaining);

        QRandomGenerator random(2);
        const QByteArray original = randomPage(random);
        QByteArray spare = spareRecord(original);
        QByteArray page = original;
        for (int bit : dataFlips)
            flip(page, bit);
        for (int bit : spareFlips)
            flip(spare, 16 + bit);

        QTEST(check(page, spare), "outcomes");
        QByteArray expected = original;
        for (int bit : remaining)
            flip(expected, bit);
        QVERIFY(page == expected);
    }

    void singleFlipsRepairedDoubleFlipsDetected()
    {
        QRandomGenerator random(4);
        const QByteArray original = randomPage(random);
        const QByteArray spare = spareRecord(original);
        const QString clean = QStringLiteral("c c c c c c c c");
        for (int bit = 0; bit < EccPageSize * 8; ++bit) {
            QByteArray page = original;
            flip(page, bit);
            QString expected = clean;
            expected.replace(bit / 8 / EccSubpageSize * 2, 1,
                             QStringLiteral("f%1.%2").arg(bit / 8).arg(bit % 8));
            QCOMPARE(check(page, spare), expected);
            QVERIFY(page == original);
        }
        for (int bit = 0; bit < EccPageCodeSize * 8; ++bit) {
            QByteArray page = original;
            QByteArray damaged = spare;
            flip(damaged, 16 + bit);
            QCOMPARE(check(page, damaged), QString(clean).replace(bit / 24 * 2, 1, "d"));
            QVERIFY(page == original);
        }
        // Two data flips in one subpage: an even syndrome, never taken for a single error.
        const int subpageBits = EccSubpageSize * 8;
        for (int pair = 0; pair < 3000; ++pair) {
            const int first = int(random.bounded(EccPageSize * 8));
            const int second = first - first % subpageBits +
                               (first + 1 + int(random.bounded(subpageBits - 1))) % subpageBits;
            QByteArray page = original;
            flip(page, first);
            flip(page, second);
            QVERIFY(check(page, spare).endsWith('u'));
        }
    }
};

QTEST_GUILESS_MAIN(TestEcc)
#include "tst_ecc.moc"
