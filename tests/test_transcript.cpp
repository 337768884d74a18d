#include "core/transcript.h"

#include <QTest>

class TestTranscript : public QObject {
    Q_OBJECT
private slots:
    void tokens_data();
    void tokens();
    void everyCodeHasOneToken();
};

void TestTranscript::tokens_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("transcript");
    const QChar cr(13), lf(10), ack(6), dc4(20);
    QTest::newRow("empty") << QString() << " ";
    QTest::newRow("space becomes two spaces") << " "
                                              << "   ";
    QTest::newRow("z is the last printable") << "z"
                                             << " z ";
    QTest::newRow("{ is above z") << "{"
                                  << " ? ";
    QTest::newRow("tilde") << "~"
                           << " ? ";
    QTest::newRow("DEL") << QString(QChar(127)) << " ? ";
    QTest::newRow("tab") << "\t"
                         << " ? ";
    QTest::newRow("NUL") << QString(QChar(0)) << " ? ";
    QTest::newRow("line feed") << QString(lf) << " LF ";
    QTest::newRow("lower case") << "a"
                                << " a ";
    QTest::newRow("non-ASCII Latin-1") << QString(QChar(0xE9)) << " ? ";
    QTest::newRow("byte 255") << QString(QChar(0xFF)) << " ? ";
    QTest::newRow("beyond Latin-1") << QString(QChar(0x3042)) << " ? ";
    QTest::newRow("command C00") << QString("C00") + cr << " C 0 0 CR ";
    QTest::newRow("word command") << QString("CF IMAGE REAL") + cr
                                  << " C F   I M A G E   R E A L CR ";
    QTest::newRow("reply 00") << QString("00") + cr << " 0 0 CR ";
    QTest::newRow("ACK CR") << QString(ack) + cr << " ACK CR ";
    QTest::newRow("DC4 then 1 has no space") << QString(dc4) + "1"
                                             << " &1 ";
    QTest::newRow("punctuation bounds") << "!/:@[`"
                                        << " ! / : @ [ ` ";
    QTest::newRow("other control") << QString(QChar(27)) << " ? ";
}

void TestTranscript::tokens() {
    QFETCH(QString, text);
    QFETCH(QString, transcript);
    QCOMPARE(renderTranscript(text), transcript);
}

void TestTranscript::everyCodeHasOneToken() {
    // Every byte value renders, and printable text keeps the 1 + 2n layout the decoder relies on.
    QString all;
    for (int c = 0; c < 256; ++c) {
        all += QChar(c);
    }
    const QString t = renderTranscript(all);
    QVERIFY(t.startsWith(QLatin1Char(' ')));
    QString printable;
    for (char16_t c = u' '; c <= u'z'; ++c) {
        printable += QChar(c);
    }
    const QString p = renderTranscript(printable);
    QCOMPARE(p.size(), 1 + 2 * printable.size());
    for (qsizetype k = 1; k <= printable.size(); ++k) {
        QCOMPARE(p.at(2 * k - 1), printable.at(k - 1));
        QCOMPARE(p.at(2 * k), QLatin1Char(' '));
    }
}

QTEST_APPLESS_MAIN(TestTranscript)
#include "test_transcript.moc"
