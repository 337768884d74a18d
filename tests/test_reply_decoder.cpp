#include "core/readings.h"
#include "core/reply_decoder.h"
#include "core/transcript.h"

#include <QTest>

namespace {

// The received line as the window shows it.
QString render(const QString& reply) {
    return renderTranscript(reply);
}

QString framed(const QString& code) {
    return code + u'\r';
}

// Every field that is set, "name=value", in declaration order.
QString describe(const StatusValues& v) {
    QStringList out;
    const auto text = [&out](const char* name, const std::optional<QString>& value) {
        if (value) {
            out << QLatin1String(name) + u'=' + *value;
        }
    };
    const auto number = [&out](const char* name, const auto& value) {
        if (value) {
            out << QLatin1String(name) + u'=' + QString::number(*value);
        }
    };
    text("row", v.row);
    text("power", v.power);
    number("input", v.inputMode);
    text("reversal", v.reversal);
    number("hours", v.lampHours);
    for (size_t i = 0; i < 3; ++i) {
        text(i == 0 ? "t1" : i == 1 ? "t2" : "t3", v.temperatureText[i]);
        number(i == 0 ? "c1" : i == 1 ? "c2" : "c3", v.temperatureCelsius[i]);
    }
    number("hPa", v.pressureHpa);
    text("mute", v.mute);
    text("lampMode", v.lampMode);
    number("lit", v.lampsLit);
    return out.join(u' ');
}

// An empty expected text means: the status line is left as it was.
void addRow(const char* name, const QString& query, const QString& reply, const QString& status) {
    QTest::newRow(name) << query << reply << status;
}

} // namespace

class TestReplyDecoder : public QObject {
    Q_OBJECT

private slots:
    void statusLine_data();
    void statusLine();
    void replyInPieces_data();
    void replyInPieces();
    void honoursCmdPrefix();
    void pressure_data();
    void pressure();
    void pressValPassesThroughOtherQueries();
    void values_data();
    void values();
};

void TestReplyDecoder::statusLine_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("status");

    addRow("CR0 00", "CR0", "00\r", " Power ON");
    addRow("CR0 80", "CR0", "80\r", " Stand by");
    addRow("CR0 40", "CR0", "40\r", " Count down");
    addRow("CR0 20", "CR0", "20\r", " Cooling down");
    addRow("CR0 10", "CR0", "10\r", " Power Fail");
    addRow("CR0 08", "CR0", "08\r", " Temperature Warning(Power ON)");
    addRow("CR0 02", "CR0", "02\r", " NO Key input ");
    addRow("CR0 04", "CR0", "04\r", " Lamp OFF by PWR Management");
    addRow("CR0 28", "CR0", "28\r", " Temperature Warning & cooling down");
    addRow("CR0 24", "CR0", "24\r", " Lamp OFF & Tempereture Warning by PWR Management");
    addRow("CR0 88", "CR0", "88\r", " Temperature Warning and recoverd");
    addRow("CR0 21", "CR0", "21\r", " Cooling down (All Lamp FAIL)");
    addRow("CR0 81", "CR0", "81\r", " Cooling down & sutandby (All Lamp FAIL)");
    addRow("CR0 unknown", "CR0", "99\r", "");
    addRow("CR0 ACK first", "CR0",
           "\x06"
           "00\r",
           "");
    addRow("CR0 without CR", "CR0", "00", " Power ON");
    addRow("CR0 longer reply", "CR0", "0012\r", " Power ON");

    addRow("CR1 1", "CR1", "1\r", " Input mode 1");
    addRow("CR1 2", "CR1", "2\r", " Input mode 2");
    addRow("CR1 3", "CR1", "3\r", " Input mode 3");
    addRow("CR1 4", "CR1", "4\r", " Input mode 4");
    addRow("CR1 12 first counts", "CR1", "12\r", " Input mode 1");
    addRow("CR1 5", "CR1", "5\r", "");
    addRow("CR1 00", "CR1", "00\r", "");

    addRow("CR4 11", "CR4", "11\r", " Normally");
    addRow("CR4 10", "CR4", "10\r", " Top/Bottom reversal");
    addRow("CR4 01", "CR4", "01\r", " Left/Right reversal");
    addRow("CR4 00", "CR4", "00\r", " Top/Bottom , Left/Right reversal");

    addRow("CRA 00", "CRA", "00\r", " Video & Audio mute OFF");
    addRow("CRA 01", "CRA", "01\r", " Video mute ON");
    addRow("CRA 02", "CRA", "02\r", " Audio mute ON");
    addRow("CRA 03", "CRA", "03\r", " Video & Audio mute ON");
    addRow("CRA 80", "CRA", "80\r", " No signal");
    addRow("CRA FF", "CRA", "FF\r", " Stand by");
    addRow("CRA ff", "CRA", "ff\r", "");

    addRow("CR7 00", "CR7", "00\r", " All OFF : 2 Lamp mode");
    addRow("CR7 01", "CR7", "01\r", " No1 ON  : 2 Lamp mode");
    addRow("CR7 02", "CR7", "02\r", " No2 ON  : 2 Lamp mode");
    addRow("CR7 03", "CR7", "03\r", " No1,2 ON  : 2 Lamp mode");
    addRow("CR7 10", "CR7", "10\r", " All OFF : 1 Lamp mode(No1 USE)");
    addRow("CR7 11", "CR7", "11\r", " No1 ON  : 1 Lamp mode(No1 USE)");
    addRow("CR7 20", "CR7", "20\r", " All OFF : 1 Lamp mode(No2 USE)");
    addRow("CR7 22", "CR7", "22\r", " No2 ON  : 1 Lamp mode(No2 USE)");

    addRow("CR3 example", "CR3", "12345\r", " 1 2 3 4 5 CR  Hour Use");
    addRow("CR3 empty", "CR3", "", "  Hour Use");
    addRow("CR3 cut at 38", "CR3", "ABCDEFGHIJKLMNOPQRSTUVWXYZ\r",
           " A B C D E F G H I J K L M N O P Q R S Hour Use");

    addRow("CR6 example", "CR6", "12345678901234567\r",
           "  S1= 1 2 3 4 5 C  ,   S2=  8 9 0 1 C , S3= 3 4 5 6 7 C");
    addRow("CR6 short", "CR6", "123456789\r", "  S1= 1 2 3 4 5 C  ,   S2=  8 9 CR  C , S3= C");
    addRow("CR6 empty", "CR6", "", "  S1=  C  ,   S2=  C , S3= C");

    addRow("CR9 plain", "CR9", "OK\r", " O K CR ");
    addRow("CR9 control", "CR9",
           "\x06\x14"
           "1\n{",
           " ACK &1 LF ? ");

    addRow("not a query", "C00", "00\r", "");
    addRow("query-like", "CR ALLPFAIL", "00\r", "");
    addRow("lower-case query", "cr0", "00\r", "");
}

void TestReplyDecoder::statusLine() {
    QFETCH(QString, query);
    QFETCH(QString, reply);
    QFETCH(QString, status);
    const QString t = render(reply);
    const ReplyReading reading = decodeReply(framed(query), QString(), t, 321);
    QCOMPARE(reading.status.value_or(QString()), status);
    QCOMPARE(reading.status.has_value(), !status.isEmpty());
    QCOMPARE(reading.pressVal, qint16(321));
    QVERIFY(!reading.failure);
    // The values come from the very row the status line shows, and only from a table's row.
    const bool tableQuery = QStringList{"CR0", "CR1", "CR4", "CRA", "CR7"}.contains(query);
    QCOMPARE(readStatusValues(query, reply).row.has_value(), tableQuery && !status.isEmpty());
}

void TestReplyDecoder::replyInPieces_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QStringList>("statuses");

    QTest::newRow("CR0 0 | 0CR") << "CR0" << QStringList{"0", "0\r"}
                                 << QStringList{"", " Power ON"};
    QTest::newRow("CRA F | F | CR")
        << "CRA" << QStringList{"F", "F", "\r"} << QStringList{"", " Stand by", " Stand by"};
    QTest::newRow("CR3 grows") << "CR3" << QStringList{"12", "3\r"}
                               << QStringList{" 1 2  Hour Use", " 1 2 3 CR  Hour Use"};
}

void TestReplyDecoder::replyInPieces() {
    QFETCH(QString, query);
    QFETCH(QStringList, pieces);
    QFETCH(QStringList, statuses);
    QString recvBuf;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        recvBuf += pieces[i];
        const ReplyReading reading = decodeReply(framed(query), QString(), render(recvBuf), 0);
        QCOMPARE(reading.status.value_or(QString()), statuses[i]);
    }
}

void TestReplyDecoder::honoursCmdPrefix() {
    const QString t = render(QStringLiteral("00\r"));
    QVERIFY(!decodeReply(QStringLiteral("CR0\r"), QStringLiteral("@"), t, 0).status);
    QCOMPARE(decodeReply(QStringLiteral("@CR0\r"), QStringLiteral("@"), t, 0).status,
             QStringLiteral(" Power ON"));
    QVERIFY(!decodeReply(QStringLiteral("@CR0\r"), QString(), t, 0).status);
    QVERIFY(!decodeReply(QStringLiteral("CR0"), QString(), t, 0).status);
}

void TestReplyDecoder::pressure_data() {
    QTest::addColumn<QString>("reply");  // a carriage return follows
    QTest::addColumn<QString>("status"); // empty: an overflow failure
    QTest::addColumn<int>("pressVal");   // PressVal before is always 77

    QTest::newRow("0") << "0"
                       << "106 hPa" << 106;
    QTest::newRow("no number") << "OK"
                               << "106 hPa" << 106;
    QTest::newRow("empty") << ""
                           << "106 hPa" << 106;
    QTest::newRow("12.5 to even") << "12.5"
                                  << "118 hPa" << 118;
    QTest::newRow("250") << "250"
                         << "372 hPa" << 372;
    QTest::newRow("512") << "512"
                         << "650 hPa" << 650;
    QTest::newRow("1023") << "1023"
                          << "1194 hPa" << 1194;
    QTest::newRow("6553") << "6553"
                          << "7077 hPa" << 7077;
    QTest::newRow("-6553") << "-6553"
                           << "-6865 hPa" << -6865;
    QTest::newRow("-1") << "-1"
                        << "104 hPa" << 104;
    QTest::newRow("exponent") << "2.5E2"
                              << "372 hPa" << 372;
    QTest::newRow("D exponent") << "25D1"
                                << "372 hPa" << 372;
    QTest::newRow("hex takes the C of CR") << "&H66"
                                           << "1854 hPa" << 1854;
    QTest::newRow("octal") << "&O1000"
                           << "650 hPa" << 650;
    QTest::newRow("rendered LF stops") << "5\n12"
                                       << "111 hPa" << 111;
    // Out of range after the multiplication: PressVal keeps the rounded reading.
    QTest::newRow("6554") << "6554"
                          << "" << 6554;
    QTest::newRow("6553.5 to even") << "6553.5"
                                    << "" << 6554;
    QTest::newRow("-6554") << "-6554"
                           << "" << -6554;
    QTest::newRow("-32768.5 to even") << "-32768.5"
                                      << "" << -32768;
    // Out of the 16-bit range before it: PressVal unchanged.
    QTest::newRow("32767.5 to even") << "32767.5"
                                     << "" << 77;
    QTest::newRow("&HFFFF") << "&HFFFF"
                            << "" << 77;
    QTest::newRow("1E400") << "1E400"
                           << "" << 77;
    QTest::newRow("forty digits") << QString(40, u'9') << "" << 77;
}

void TestReplyDecoder::pressure() {
    QFETCH(QString, reply);
    QFETCH(QString, status);
    QFETCH(int, pressVal);
    const ReplyReading reading =
        decodeReply(QStringLiteral("CR PRESSURE\r"), QString(), render(reply + u'\r'), 77);
    QCOMPARE(int(reading.pressVal), pressVal);
    if (status.isEmpty()) {
        QVERIFY(!reading.status);
        QVERIFY(reading.failure);
        // The operator sees what was read, cut short when the reply is long.
        const QString number = reply.left(24);
        QVERIFY2(reading.failure->contains(number), qPrintable(*reading.failure));
        QVERIFY(reading.failure->contains(QLatin1String("out of range")));
        QVERIFY(reading.failure->size() < 200);
    } else {
        QCOMPARE(reading.status, status);
        QVERIFY(!reading.failure);
    }
}

void TestReplyDecoder::pressValPassesThroughOtherQueries() {
    const QString t = render(QStringLiteral("6554\r"));
    for (const char* query : {"CR0", "CR3", "CR9", "C00", "CR PRESSURE "}) {
        const ReplyReading reading = decodeReply(framed(QLatin1String(query)), QString(), t, -5);
        QCOMPARE(reading.pressVal, qint16(-5));
        QVERIFY(!reading.failure);
    }
}

void TestReplyDecoder::values_data() {
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("values");

    const auto row = [](const char* name, const char* code, const char* received,
                        const char* values) {
        QTest::newRow(name) << QString::fromLatin1(code) << QString::fromLatin1(received)
                            << QString::fromLatin1(values);
    };
    row("power on", "CR0", "00\r", "row=00 power=on");
    row("standby", "CR0", "80\r", "row=80 power=standby");
    row("cooling, lamps failed", "CR0", "21\r", "row=21 power=cooling-down-lamp-fail");
    row("power, no CR yet", "CR0", "40", "row=40 power=count-down");
    row("power, unknown", "CR0", "99\r", "");
    row("power, ACK first", "CR0",
        "\x06"
        "00\r",
        "");
    row("input 3", "CR1", "3\r", "row=3 input=3");
    row("input 5", "CR1", "5\r", "");
    row("reversal", "CR4", "10\r", "row=10 reversal=top-bottom");
    row("mute both", "CRA", "03\r", "row=03 mute=video-audio");
    row("mute, standby", "CRA", "FF\r", "row=FF mute=standby");
    row("lamps 2, both lit", "CR7", "03\r", "row=03 lampMode=two-lamp lit=3");
    row("lamp 2 only", "CR7", "22\r", "row=22 lampMode=one-lamp-no2 lit=2");
    row("lamp 1 mode, off", "CR7", "10\r", "row=10 lampMode=one-lamp-no1 lit=0");
    row("hours", "CR3", "01234\r", "hours=1234");
    row("hours, text after", "CR3", "77 H\r", "hours=77");
    row("hours, none", "CR3", "H77\r", "");
    row("hours, too many digits", "CR3", "12345678901234567890\r", "");
    row("temperatures", "CR6", "+38.5 +41.0 -29.5\r",
        "t1=+38.5 c1=38.5 t2=+41.0 c2=41 t3=-29.5 c3=-29.5");
    row("temperature 2 negative", "CR6", "+38.5,-01.5,+29.5\r",
        "t1=+38.5 c1=38.5 t2=-01.5 c2=-1.5 t3=+29.5 c3=29.5");
    row("temperatures short", "CR6", "+38.5 +4\r", "t1=+38.5 c1=38.5 t2=+4 c2=4");
    row("temperature not a number", "CR6", "ERR.. +41.0\r", "t1=ERR.. t2=+41.0 c2=41");
    row("pressure", "CR PRESSURE", "250\r", "hPa=372");
    row("pressure out of range", "CR PRESSURE", "6554\r", "");
    row("not a query", "C00", "00\r", "");
    row("lower-case query", "cr0", "00\r", "");
}

void TestReplyDecoder::values() {
    QFETCH(QString, code);
    QFETCH(QString, received);
    QFETCH(QString, values);
    QCOMPARE(describe(readStatusValues(code, received)), values);
}

QTEST_APPLESS_MAIN(TestReplyDecoder)
#include "test_reply_decoder.moc"
