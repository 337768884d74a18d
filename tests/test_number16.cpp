#include "core/number16.h"

#include <QRandomGenerator>
#include <QTest>
#include <cmath>
#include <limits>

class TestNumber16 : public QObject {
    Q_OBJECT

private slots:
    void readsNumber_data();
    void readsNumber();
    void survivesHugeInput_data();
    void survivesHugeInput();
    void readsAnythingSafely();
    void roundsHalfToEven_data();
    void roundsHalfToEven();
    void multipliesIn16Bits_data();
    void multipliesIn16Bits();
};

void TestNumber16::readsNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("numberText");

    // As the transcript shows replies: blanks vanish, the C of "CR" stops the reading.
    QTest::newRow("transcript 250") << " 2 5 0 CR " << 250.0 << "250";
    QTest::newRow("transcript 12.5") << " 1 2 . 5 CR " << 12.5 << "12.5";
    QTest::newRow("tabs and line feeds") << "\t1\n2 3" << 123.0 << "123";
    QTest::newRow("carriage return stops") << "1\r2" << 1.0 << "1";
    QTest::newRow("empty") << "" << 0.0 << "";
    QTest::newRow("letters only") << "CR " << 0.0 << "";
    QTest::newRow("lone minus") << "-" << 0.0 << "";
    QTest::newRow("lone point") << "." << 0.0 << "";
    QTest::newRow("exponent without mantissa") << "E5" << 0.0 << "";
    QTest::newRow("double sign") << "--5" << 0.0 << "";
    QTest::newRow("plus") << "+7" << 7.0 << "+7";
    QTest::newRow("minus") << "-12.75" << -12.75 << "-12.75";
    QTest::newRow("minus zero is zero") << "-0" << 0.0 << "-0";
    QTest::newRow("point first") << ".5" << 0.5 << ".5";
    QTest::newRow("point last") << "5." << 5.0 << "5.";
    QTest::newRow("second point stops") << "1.2.3" << 1.2 << "1.2";
    QTest::newRow("leading zeros") << "000.0250" << 0.025 << "000.0250";
    QTest::newRow("exponent E") << "1.5E2" << 150.0 << "1.5E2";
    QTest::newRow("exponent D") << "25D-1" << 2.5 << "25D-1";
    QTest::newRow("exponent lower case") << "2e+3" << 2000.0 << "2e+3";
    QTest::newRow("exponent without digits") << "7E+" << 7.0 << "7";
    QTest::newRow("exponent spread by blanks") << " 1 E - 2 " << 0.01 << "1E-2";
    QTest::newRow("1E400") << "1E400" << std::numeric_limits<double>::infinity() << "1E400";
    QTest::newRow("-1E400") << "-1E400" << -std::numeric_limits<double>::infinity() << "-1E400";
    QTest::newRow("1E-400") << "1E-400" << 0.0 << "1E-400";
    QTest::newRow("1E308 overflows double")
        << "99E307" << std::numeric_limits<double>::infinity() << "99E307";
    QTest::newRow("forty digits") << QString(40, QLatin1Char('9')) << 1e40 << QString(40, u'9');
    QTest::newRow("hex") << "&H1F" << 31.0 << "&H1F";
    QTest::newRow("hex lower case") << "&hff" << 255.0 << "&hff";
    QTest::newRow("hex is unsigned") << "&HFFFF" << 65535.0 << "&HFFFF";
    QTest::newRow("hex stops at G") << "&H1G" << 1.0 << "&H1";
    QTest::newRow("hex without digits") << "&H" << 0.0 << "&H";
    // C is a hexadecimal digit, so a hexadecimal reply swallows the C of its rendered CR.
    QTest::newRow("hex in transcript") << " & H 1 0 CR " << 268.0 << "&H10C";
    QTest::newRow("octal") << "&O17" << 15.0 << "&O17";
    QTest::newRow("octal stops at 8") << "&o78" << 7.0 << "&o7";
    QTest::newRow("octal without digits") << "&O9" << 0.0 << "&O";
    QTest::newRow("lone ampersand") << "&" << 0.0 << "";
    QTest::newRow("ampersand digits") << "&17" << 0.0 << "";
    QTest::newRow("no sign before hex") << "-&H10" << 0.0 << "";
}

void TestNumber16::readsNumber() {
    QFETCH(QString, text);
    QFETCH(double, value);
    QFETCH(QString, numberText);
    const NumberReading reading = readNumber(text);
    QCOMPARE(reading.value, value);
    QVERIFY(!std::signbit(reading.value) || value < 0);
    QCOMPARE(reading.text, numberText);
}

void TestNumber16::survivesHugeInput_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    const qsizetype n = 200000;
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("long decimal") << QString(n, u'9') << inf;
    QTest::newRow("long fraction") << QStringLiteral("0.") + QString(n, u'0') + u'1' << 0.0;
    QTest::newRow("long hex") << QStringLiteral("&H") + QString(n, u'F') << inf;
    QTest::newRow("long octal") << QStringLiteral("&O") + QString(n, u'7') << inf;
    QTest::newRow("long exponent") << QStringLiteral("1E") + QString(n, u'9') << inf;
    QTest::newRow("long negative exponent") << QStringLiteral("1E-") + QString(n, u'9') << 0.0;
    QTest::newRow("digits cancel exponent")
        << QStringLiteral("0.") + QString(n, u'0') + QStringLiteral("25E200003") << 250.0;
    QTest::newRow("long blanks") << QString(n, u' ') + u'5' << 5.0;
}

void TestNumber16::survivesHugeInput() {
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(readNumber(text).value, value);
}

void TestNumber16::readsAnythingSafely() {
    // Many short strings from the characters a number is made of, in any order.
    const QString alphabet = QStringLiteral("0123456789.+-EeDdHhOo&AFfG \t\n\r\x14");
    QRandomGenerator random(27);
    for (int round = 0; round < 20000; ++round) {
        QString text;
        for (int i = random.bounded(24); i > 0; --i) {
            text += alphabet[random.bounded(alphabet.size())];
        }
        const NumberReading reading = readNumber(text);
        QVERIFY2(!std::isnan(reading.value), qPrintable(text));
        QVERIFY2(reading.text.size() <= text.size(), qPrintable(text));
        QCOMPARE(readNumber(reading.text).value, reading.value);
    }
}

void TestNumber16::roundsHalfToEven_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<int>("rounded");
    const double inf = std::numeric_limits<double>::infinity();

    QTest::newRow("0.5") << 0.5 << true << 0;
    QTest::newRow("1.5") << 1.5 << true << 2;
    QTest::newRow("2.5") << 2.5 << true << 2;
    QTest::newRow("12.5") << 12.5 << true << 12;
    QTest::newRow("2.5000001") << 2.5000001 << true << 3;
    QTest::newRow("-0.5") << -0.5 << true << 0;
    QTest::newRow("-1.5") << -1.5 << true << -2;
    QTest::newRow("-2.5") << -2.5 << true << -2;
    QTest::newRow("-2.4") << -2.4 << true << -2;
    QTest::newRow("7076.595") << 7076.595 << true << 7077;
    QTest::newRow("32767.4") << 32767.4 << true << 32767;
    QTest::newRow("32767.5") << 32767.5 << false << 0;
    QTest::newRow("-32768.5 to even") << -32768.5 << true << -32768;
    QTest::newRow("-32768.6") << -32768.6 << false << 0;
    QTest::newRow("1e300") << 1e300 << false << 0;
    QTest::newRow("inf") << inf << false << 0;
    QTest::newRow("-inf") << -inf << false << 0;
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << false << 0;
}

void TestNumber16::roundsHalfToEven() {
    QFETCH(double, value);
    QFETCH(bool, fits);
    QFETCH(int, rounded);
    const std::optional<qint16> result = roundToInt16(value);
    QCOMPARE(result.has_value(), fits);
    if (fits) {
        QCOMPARE(int(*result), rounded);
    }
}

void TestNumber16::multipliesIn16Bits_data() {
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<bool>("fits");

    QTest::newRow("6553 * 5") << 6553 << 5 << true;
    QTest::newRow("6554 * 5") << 6554 << 5 << false;
    QTest::newRow("-6553 * 5") << -6553 << 5 << true;
    QTest::newRow("-6554 * 5") << -6554 << 5 << false;
    QTest::newRow("-32768 * 1") << -32768 << 1 << true;
    QTest::newRow("-32768 * -1") << -32768 << -1 << false;
    QTest::newRow("-16384 * 2") << -16384 << 2 << true;
}

void TestNumber16::multipliesIn16Bits() {
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(bool, fits);
    const std::optional<qint16> product = multiplyInt16(qint16(a), qint16(b));
    QCOMPARE(product.has_value(), fits);
    if (fits) {
        QCOMPARE(int(*product), a* b);
    }
}

QTEST_APPLESS_MAIN(TestNumber16)
#include "test_number16.moc"
