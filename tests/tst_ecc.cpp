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

EccOutcomes check(QByteArray &page, const QByteArray &spare)
{
    return correctPageEcc(reinterpret_cast<uchar *>(page.data()),
                          reinterpret_cast<const uchar *>(spare.constData()));
}

void flip(QByteArray &bytes, int bitIndex)
{
    bytes[bitIndex / 8] = char(bytes[bitIndex / 8] ^ (1 << (bitIndex % 8)));
}

// c clean, d damaged code, u uncorrectable, f<offset>.<bit> corrected; one per subpage.
QString describe(const EccOutcomes &outcomes)
{
    QStringList parts;
    for (const EccOutcome &o : outcomes)
        parts << (o.kind == EccOutcome::Corrected
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
    void workedValues_data()
    {
        QTest::addColumn<int>("fill");
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("code");

        QTest::newRow("all 00") << 0x00 << 0 << 0x00 << QByteArray::fromHex("000000");
        QTest::newRow("all ff") << 0xFF << 0 << 0xFF << QByteArray::fromHex("000000");
        QTest::newRow("offset 0 = 01") << 0x00 << 0 << 0x01 << QByteArray::fromHex("565554");
        QTest::newRow("offset 255 = 80") << 0x00 << 255 << 0x80 << QByteArray::fromHex("5555a8");
    }

    void workedValues()
    {
        QFETCH(int, fill);
        QFETCH(int, offset);
        QFETCH(int, value);
        QFETCH(QByteArray, code);

        // The pattern sits in subpage 5; the other subpages are all zero and so code 00 00 00.
        QByteArray page(EccPageSize, 0);
        page.replace(5 * EccSubpageSize, EccSubpageSize, QByteArray(EccSubpageSize, char(fill)));
        page[5 * EccSubpageSize + offset] = char(value);
        QByteArray expected(EccPageCodeSize, 0);
        expected.replace(5 * EccSubpageCodeSize, EccSubpageCodeSize, code);
        QCOMPARE(calcPageEcc(page).toHex(), expected.toHex());
        QVERIFY(calcPageEcc(page.left(EccPageSize - 1)).isEmpty());
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

    void correction_data()
    {
        QTest::addColumn<QList<int>>("dataFlips");
        QTest::addColumn<QList<int>>("codeFlips"); // bit indexes within the 24 code bytes
        QTest::addColumn<QString>("outcomes");
        QTest::addColumn<QList<int>>("remaining"); // data flips still present afterwards

        QTest::newRow("offset 0") << QList<int>{bitAt(0, 3)} << QList<int>{} << "f0.3 c c c c c c c"
                                  << QList<int>{};
        QTest::newRow("offset 255")
            << QList<int>{bitAt(255, 7)} << QList<int>{} << "f255.7 c c c c c c c" << QList<int>{};
        QTest::newRow("last byte") << QList<int>{bitAt(2047, 0)} << QList<int>{}
                                   << "c c c c c c c f2047.0" << QList<int>{};
        QTest::newRow("code bit") << QList<int>{} << QList<int>{bitAt(4, 5)} << "c d c c c c c c"
                                  << QList<int>{};
        const QList<int> two{bitAt(10, 1), bitAt(20, 2)};
        QTest::newRow("two flips") << two << QList<int>{} << "u" << two;
        QTest::newRow("same bit twice") << QList<int>{bitAt(10, 1), bitAt(10, 1)} << QList<int>{}
                                        << "c c c c c c c c" << QList<int>{};
        QTest::newRow("data and code") << QList<int>{bitAt(600, 4)} << QList<int>{bitAt(6, 0)}
                                       << "c c u" << QList<int>{bitAt(600, 4)};
        // Subpage 1 is repaired, subpage 3 stops the check, subpage 5 is never looked at.
        const QList<int> later{bitAt(768 + 1, 1), bitAt(768 + 100, 6), bitAt(1280 + 9, 2)};
        QTest::newRow("stop after uncorrectable")
            << QList<int>{bitAt(263, 0)} + later << QList<int>{} << "c f263.0 c u" << later;
    }

    void correction()
    {
        QFETCH(QList<int>, dataFlips);
        QFETCH(QList<int>, codeFlips);
        QFETCH(QList<int>, remaining);

        QRandomGenerator random(2);
        const QByteArray original = randomPage(random);
        QByteArray spare = QByteArray("\xff\x00", 2) + calcPageEcc(original);
        QByteArray page = original;
        for (int bit : dataFlips)
            flip(page, bit);
        for (int bit : codeFlips)
            flip(spare, 16 + bit);

        QTEST(describe(check(page, spare)), "outcomes");
        QByteArray expected = original;
        for (int bit : remaining)
            flip(expected, bit);
        QVERIFY(page == expected);
    }

    void pageWithoutCodeIsNotTested()
    {
        QRandomGenerator random(3);
        const QByteArray original = randomPage(random);
        QByteArray page = original;
        QVERIFY(check(page, QByteArray(EccSpareRecordSize, char(0xFF))).isEmpty());
        // A code that would be uncorrectable, but without the mark it is not looked at.
        QVERIFY(check(page, QByteArray(EccSpareRecordSize, char(0x5A)).replace(0, 1, "\xff"))
                    .isEmpty());
        QVERIFY(page == original);
    }

    void singleFlipsRepairedDoubleFlipsDetected()
    {
        QRandomGenerator random(4);
        for (int round = 0; round < 3; ++round) {
            const QByteArray original = randomPage(random);
            QByteArray spare(EccSpareRecordSize, Qt::Uninitialized);
            fillSpareRecord(reinterpret_cast<const uchar *>(original.constData()),
                            reinterpret_cast<uchar *>(spare.data()));
            for (int bit = 0; bit < EccPageSize * 8; ++bit) {
                QByteArray page = original;
                flip(page, bit);
                const EccOutcome hit = check(page, spare).value(bit / 8 / EccSubpageSize);
                QCOMPARE(hit.kind, EccOutcome::Corrected);
                QCOMPARE(hit.offset * 8 + hit.bit, bit);
                QVERIFY(page == original);
            }
            for (int bit = 0; bit < EccPageCodeSize * 8; ++bit) {
                QByteArray page = original;
                QByteArray damaged = spare;
                flip(damaged, 16 + bit);
                QCOMPARE(describe(check(page, damaged)).count(QLatin1Char('d')), 1);
                QVERIFY(page == original);
            }
            // Two data flips in one subpage: an even syndrome, never taken for a single error.
            const int subpageBits = EccSubpageSize * 8;
            for (int pair = 0; pair < 1000; ++pair) {
                const int first = int(random.bounded(EccPageSize * 8));
                const int second = first - first % subpageBits +
                                   (first + 1 + int(random.bounded(subpageBits - 1))) % subpageBits;
                QByteArray page = original;
                flip(page, first);
                flip(page, second);
                QCOMPARE(check(page, spare).last().kind, EccOutcome::Uncorrectable);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestEcc)
#include "tst_ecc.moc"
