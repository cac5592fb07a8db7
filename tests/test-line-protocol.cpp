// Protocol files as their writers get them wrong, and replies cut into lines
// as instruments and terminal servers send them.

#include "drivers/line/line-framer.h"
#include "drivers/line/line-protocol.h"
#include "support/test-main.h"

#include <QFile>
#include <QTemporaryDir>

class LineProtocolTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &text)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    // Every problem is named with its file, line, section and key.
    void badFiles_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        const QByteArray head = "[protocol]\ndescription=x\n";
        const QByteArray channel = "[channel/t]\nquery=T?\nreply=^(\\d+)$\n";
        QTest::newRow("no channel") << head << "no [channel/NAME] section";
        QTest::newRow("no protocol section") << channel << "no [protocol] section";
        QTest::newRow("regular expression that does not compile")
            << head + "[channel/t]\nquery=T?\nreply=^(\\d+$\n"
            << "line 5: [channel/t] reply: the regular expression does not compile: missing closing parenthesis at "
               "character 7";
        QTest::newRow("capture group that is not there") << head + channel + "field=2\n"
                                                         << "line 6: [channel/t] field: reply= has 1 capture group(s), "
                                                            "so there is no group 2";
        QTest::newRow("named group that is not there")
            << head + channel + "field=value\n"
            << "line 6: [channel/t] field: reply= has no group (?<value>...)";
        QTest::newRow("unit not known") << head + channel + "unit=furlongs\n"
                                        << "line 6: [channel/t] unit: furlongs is not a unit this monitor knows (K, ";
        QTest::newRow("reply missing") << head + "[channel/t]\nquery=T?\n"
                                       << "line 3: [channel/t]: reply= is missing";
        QTest::newRow("unknown escape")
            << head + "out_terminator=\\q\n" + channel
            << "line 3: [protocol] out_terminator: \\q is not an escape (known: \\r \\n \\t "
               "\\\\ \\xHH)";
        QTest::newRow("half a hex escape") << head + "in_terminator=\\x0\n" + channel
                                           << "line 3: [protocol] in_terminator: \\x takes two hexadecimal digits";
        QTest::newRow("identify without reply")
            << head + "identify=*IDN?\n" + channel
            << "line 3: [protocol] identify: identify and identify_reply go together";
        QTest::newRow("identity group not known")
            << head + "identify=*IDN?\nidentify_reply=^(?<colour>.*)$\n" + channel
            << "[protocol] identify_reply: (?<colour>...) is no part of an identity";
        QTest::newRow("parity not known")
            << head + "parity=mark\n" + channel << "line 3: [protocol] parity: takes one of none, even, odd";
        QTest::newRow("baud of zero") << head + "baud=0\n" + channel
                                      << "line 3: [protocol] baud: takes a whole number from 50 to 4000000";
        QTest::newRow("states without numbers") << head + channel + "states=ON, OFF\n"
                                                << "line 6: [channel/t] states: takes WORD=number pairs separated by "
                                                   "commas (ON=1, OFF=0); 'ON' is none";
        QTest::newRow("a state twice") << head + channel + "states=ON=1, ON=2\n"
                                       << "line 6: [channel/t] states: ON is given twice";
        QTest::newRow("scale that is no number") << head + channel + "scale=1e999\n"
                                                 << "line 6: [channel/t] scale: takes a number";
        QTest::newRow("max below min") << head + channel + "min=5\nmax=1\n"
                                       << "line 7: [channel/t] max: must be above min=";
        QTest::newRow("one channel twice") << head + channel + "[channel/T]\nreply=(x)\n"
                                           << "line 6: [channel/T]: a channel t is given already";
        QTest::newRow("channel name with a slash") << head + "[channel/a/b]\nreply=x\n"
                                                   << "line 3: [channel/a/b]: a channel's name is letters";
        QTest::newRow("unknown key") << head + channel + "baud=9600\n"
                                     << "line 6: [channel/t] baud: unknown key";
        QTest::newRow("unknown section") << head + channel + "[value/x]\n"
                                         << "line 6: [value/x]: unknown section";
        QTest::newRow("a key given twice") << head + "gap=1\ngap=2\n" + channel << "line 4: ";
        QTest::newRow("not UTF-8") << head + "description=\xff\xfe\n" + channel << "line 3: ";
        QTest::newRow("NUL bytes") << QByteArray("[protocol]\ndescription=a\0b\n", 27) + channel << "line 2: ";
    }

    void badFiles()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        const QString path = write(QStringLiteral("%1.conf").arg(QTest::currentDataTag()).replace('/', '-'), text);
        LineProtocol protocol;
        QString error;
        QVERIFY(!loadLineProtocol(path, &protocol, &error));
        QVERIFY2(error.startsWith(path + QStringLiteral(": ")) && error.contains(message), qPrintable(error));
    }

    void filesThatAreNoDescription()
    {
        LineProtocol protocol;
        QString error;
        QVERIFY(!loadLineProtocol(m_dir.path(), &protocol, &error));
        QCOMPARE(error, m_dir.path() + QStringLiteral(": is not a regular file"));
        const QString large = write(QStringLiteral("large.conf"), QByteArray(300 * 1024, '#'));
        QVERIFY(!loadLineProtocol(large, &protocol, &error));
        QVERIFY2(error.contains("307200 bytes is too large for a protocol description"), qPrintable(error));
    }

    // Values from captures: numbers scaled, words of a state, and the rest refused.
    void values_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("capture");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("why");
        QTest::newRow("number") << ""
                                << " +1.25E-3 " << true << 1.25e-3 << "";
        QTest::newRow("scaled") << "scale=1000\noffset=-1\n"
                                << "2.5" << true << 2499.0 << "";
        QTest::newRow("state") << "states=OFF=0, ON=1\n"
                               << "ON" << true << 1.0 << "";
        QTest::newRow("state not known") << "states=OFF=0, ON=1\n"
                                         << "on" << false << 0.0 << "'on' is none of the states OFF, ON";
        QTest::newRow("unit in the capture") << ""
                                             << "4.2 K" << false << 0.0 << "'4.2 K' is not a number";
        QTest::newRow("infinite") << ""
                                  << "inf" << false << 0.0 << "'inf' is not a number";
        QTest::newRow("overflow") << ""
                                  << "1e999" << false << 0.0 << "'1e999' is not a number";
        QTest::newRow("comma decimal") << ""
                                       << "4,2" << false << 0.0 << "'4,2' is not a number";
    }

    void values()
    {
        QFETCH(QString, keys);
        QFETCH(QString, capture);
        QFETCH(bool, ok);
        QFETCH(double, value);
        QFETCH(QString, why);
        const QString path =
            write(QStringLiteral("values.conf"), "[protocol]\n[channel/t]\nreply=(.*)\n" + keys.toUtf8());
        LineProtocol protocol;
        QString error;
        QVERIFY2(loadLineProtocol(path, &protocol, &error), qPrintable(error));
        double got = 0;
        QString whyNot;
        QCOMPARE(protocol.channels.first().valueOf(capture, &got, &whyNot), ok);
        if (ok)
            QCOMPARE(got, value);
        QCOMPARE(whyNot, why);
    }

    // Replies as instruments send them: any mix of CR, LF and CR-LF, in
    // pieces, without an end, or endless.
    void framing_data()
    {
        QTest::addColumn<QByteArray>("terminator");
        QTest::addColumn<int>("length");
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::addColumn<QByteArray>("flushed");
        QTest::addColumn<int>("overlong");
        using L = QList<QByteArray>;
        QTest::newRow("mixed line ends") << QByteArray("\r\n") << 0 << L{"a\r\nb\nc\rd\r", "\n"}
                                         << L{"a", "b", "c", "d"} << QByteArray() << 0;
        QTest::newRow("in pieces") << QByteArray("\n") << 0 << L{"4.", "2", "1\r", "\n5"} << L{"4.21"} << QByteArray()
                                   << 0;
        QTest::newRow("a terminator of its own")
            << QByteArray("\x03") << 0 << L{"A\x03", "B\r\nC\x03"} << L{"A", "B\r\nC"} << QByteArray() << 0;
        QTest::newRow("two-byte terminator in pieces")
            << QByteArray(";;") << 0 << L{"A;", ";B;", ";"} << L{"A", "B"} << QByteArray() << 0;
        QTest::newRow("fixed length") << QByteArray() << 4 << L{"12", "345678", "9"} << L{"1234", "5678"}
                                      << QByteArray("9") << 0;
        QTest::newRow("ended by quiet") << QByteArray() << 0 << L{"12", "34"} << L{} << QByteArray("1234") << 0;
        QTest::newRow("endless, then a line")
            << QByteArray("\n") << 0 << L{QByteArray(5000, '7'), QByteArray(5000, '7'), "8\nok\n"} << L{"ok"}
            << QByteArray() << 1;
        QTest::newRow("endless of its own terminator")
            << QByteArray("\x03") << 0 << L{QByteArray(5000, '7'), "\x03ok\x03"} << L{"ok"} << QByteArray() << 1;
    }

    void framing()
    {
        QFETCH(QByteArray, terminator);
        QFETCH(int, length);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QList<QByteArray>, replies);
        QFETCH(QByteArray, flushed);
        QFETCH(int, overlong);
        LineProtocol protocol;
        protocol.inTerminator = terminator;
        LineFramer framer(terminator, protocol.endsLinesByCrOrLf(), length);
        QList<QByteArray> got;
        for (const QByteArray &piece : qAsConst(pieces))
            got += framer.feed(piece).toList();
        QCOMPARE(got, replies);
        QCOMPARE(framer.flush(), flushed);
        QCOMPARE(framer.takeOverlong(), overlong);
    }
};

FROSTGAUGE_TEST_MAIN(LineProtocolTest)
#include "test-line-protocol.moc"
