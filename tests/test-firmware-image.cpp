// Signed firmware image files: verification, format, record selection, texts;
// and the image tool that produces them.

#include "firmware/firmware.h"
#include "support/debug-capture.h"
#include "support/image-builder.h"
#include "support/test-files.h"
#include "support/test-main.h"

#include <QProcess>
#include <QTemporaryDir>

#include <memory>

using namespace ImageBuilder;

namespace {
struct Opened {
    std::unique_ptr<Firmware> image;
    QStringList debug;
};

Opened open(const QByteArray &file, const QByteArray &compatId)
{
    DebugCapture capture;
    Opened opened;
    opened.image.reset(Firmware::fromFileData(file, compatId));
    opened.debug = capture.lines();
    return opened;
}
} // namespace

class FirmwareImageTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    int runTool(const QStringList &args, QByteArray *out = nullptr, QByteArray *err = nullptr)
    {
        QProcess tool;
        tool.start(QStringLiteral(FROSTGAUGE_IMAGE_EXECUTABLE), args);
        tool.waitForFinished(limitMs());
        if (out)
            *out = tool.readAllStandardOutput();
        if (err)
            *err = tool.readAllStandardError();
        return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    }

    QString writeFile(const QString &name, const QByteArray &data) { return writeTestFile(dir, name, data); }

private slots:
    void publicKeyIsTheDevelopmentKey()
    {
        unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
        crypto_sign_seed_keypair(pk, sk, reinterpret_cast<const unsigned char *>(developmentSeed.constData()));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(pk), 32).toHex(),
                 QByteArray("17946813878c208d54e38501b18c102ca2f3051ba678fd177a1af3e444067f9a"));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(vkr_firmware_public_key()), 32),
                 QByteArray(reinterpret_cast<const char *>(pk), 32));
    }

    void selectsTheBuildForTheRevision()
    {
        const QByteArray build1("build for revision one");
        const QByteArray build2("revision two build!");
        const QByteArray file = sign(head() + record(revision2, build2, 4, 5) + record(revision1, build1));
        Opened opened = open(file, revision1);
        QVERIFY(opened.image->valid());
        QCOMPARE(opened.image->blob(), build1);
        QCOMPARE(opened.image->version(), QStringLiteral("1.6"));
        QCOMPARE(opened.image->vendor(), QStringLiteral("NORDA"));
        QCOMPARE(opened.image->model(), QStringLiteral("VKRHX350"));
        QCOMPARE(opened.debug, QStringList{"Found firmware image for device revision 1"});

        opened = open(file, revision2 + QByteArray("extra bytes are ignored"));
        QCOMPARE(opened.image->blob(), build2);
        QCOMPARE(opened.debug, QStringList{"Found firmware image for device revision 2"});

        const QByteArray other = QByteArray::fromHex("00112233445566778899aabbccddeeff");
        opened = open(sign(head() + record(other, "x")), other);
        QVERIFY(opened.image->valid());
        QCOMPARE(opened.debug, QStringList{"Found firmware image for device with unknown revision"});
    }

    void firstOfTwoRecordsWins()
    {
        const QByteArray file = sign(head() + record(revision1, "first") + record(revision1, "second"));
        QCOMPARE(open(file, revision1).image->blob(), QByteArray("first"));
    }

    void texts()
    {
        const QByteArray full32("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
        const QByteArray file =
            sign(head(format2, "1.6", full32, QByteArray("VKR\0HX350", 9)) + record(revision1, "b"));
        Opened opened = open(file, revision1);
        QCOMPARE(opened.image->version(), QStringLiteral("1.6"));
        QCOMPARE(opened.image->vendor(), QString::fromLatin1(full32));
        QCOMPARE(opened.image->model(), QStringLiteral("VKRHX350"));
    }

    void invalidImages_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("compatId");
        QTest::addColumn<QString>("debug");
        const QByteArray good = head() + record(revision1, "blob");
        QTest::newRow("empty file") << QByteArray() << revision1 << "";
        QTest::newRow("63 bytes") << QByteArray(63, 'x') << revision1 << "";
        QTest::newRow("signed with another key")
            << sign(good, QByteArray(32, '\x01')) << revision1 << "";
        QTest::newRow("truncated") << sign(good).left(200) << revision1 << "";
        QTest::newRow("shorter than a descriptor") << sign("short") << revision1 << "";
        QTest::newRow("format 1") << sign(head(format1) + record(revision1, "blob")) << revision1
                                  << "Firmware image format version 1 is not supported by this program";
        QTest::newRow("unknown format") << sign(head(QByteArray(16, '\x07')) + record(revision1, "b"))
                                        << revision1 << "";
        QTest::newRow("no records") << sign(head()) << revision1
                                    << "Can't find compatible firmware image, comapt: \"<\\xC3\\xA9?BaE\\xFF\\x95\\xBF\"\"e=\\xF2hl\\xB0\"";
        QTest::newRow("empty identifier") << sign(good) << QByteArray()
                                          << "Can't find compatible firmware image, comapt: \"\"";
        QTest::newRow("identifier of 15 bytes") << sign(good) << revision1.left(15)
                                                << "Can't find compatible firmware image";
        QTest::newRow("no record for this revision") << sign(good) << revision2
                                                     << "Can't find compatible firmware image";
        // Records whose lengths would lead outside the payload or loop forever.
        QTest::newRow("header does not fit") << sign(head() + QByteArray(20, '\x01')) << revision1
                                             << "Can't find compatible firmware image";
        QTest::newRow("zero step") << sign(head() + revision2 + le32(0) + le32(0) + le32(0) + record(revision1, "b"))
                                   << revision1 << "Can't find compatible firmware image";
        // A record that does not advance the walk is never selected, nor is anything after it.
        QTest::newRow("zero step, this revision, empty blob")
            << sign(head() + revision1 + le32(0) + le32(0) + le32(0)) << revision1
            << "Can't find compatible firmware image";
        QTest::newRow("zero step, this revision, blob over the header")
            << sign(head() + revision1 + le32(0) + le32(16) + le32(0)) << revision1
            << "Can't find compatible firmware image";
        QTest::newRow("zero step before a good record")
            << sign(head() + revision2 + le32(0) + le32(0) + le32(0) + record(revision1, "b"))
            << revision2 << "Can't find compatible firmware image";
        QTest::newRow("step past 32 bits")
            << sign(head() + revision2 + le32(0xFFFFFFFF) + le32(4) + le32(1) + record(revision1, "b"))
            << revision1 << "Can't find compatible firmware image";
        QTest::newRow("step past the end") << sign(head() + revision2 + le32(28) + le32(4) + le32(0x7FFFFFF0))
                                           << revision1 << "Can't find compatible firmware image";
        QTest::newRow("blob beyond the end")
            << sign(head() + revision1 + le32(28) + le32(1000) + le32(1000) + QByteArray(8, 'b'))
            << revision1 << "Firmware image record for this device lies outside the image";
        QTest::newRow("blob offset beyond the end")
            << sign(head() + revision1 + le32(0xFFFFFFF0) + le32(16) + le32(32)) << revision1
            << "Firmware image record for this device lies outside the image";
        // The step to the next record is a 32-bit sum: one that wraps to zero is a zero step.
        QTest::newRow("step wrapping to zero, this revision")
            << sign(head() + revision1 + le32(28) + le32(4) + le32(0xFFFFFFE4) + QByteArray(4, 'b')) << revision1
            << "Can't find compatible firmware image";
        QTest::newRow("step wrapping to zero from the blob offset")
            << sign(head() + revision1 + le32(0xFFFFFFF0) + le32(16) + le32(16)) << revision1
            << "Can't find compatible firmware image";
        // clang-format on
    }

    void invalidImages()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, compatId);
        QFETCH(QString, debug);
        Opened opened = open(file, compatId);
        QVERIFY(!opened.image->valid());
        QVERIFY(opened.image->blob().isEmpty());
        QVERIFY(opened.image->version().isEmpty() && opened.image->vendor().isEmpty()
                && opened.image->model().isEmpty());
        if (debug.isEmpty()) {
            QCOMPARE(opened.debug, QStringList());
        } else {
            QCOMPARE(opened.debug.size(), 1);
            QVERIFY2(opened.debug.first().startsWith(debug), qPrintable(opened.debug.first()));
        }
    }

    void everySingleBitFlipIsRejectedSilently()
    {
        const QByteArray file = sign(head() + record(revision1, "12345678"));
        QVERIFY(open(file, revision1).image->valid());
        for (int byte = 0; byte < file.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                QByteArray flipped = file;
                flipped[byte] = char(flipped[byte] ^ (1 << bit));
                const Opened opened = open(flipped, revision1);
                if (opened.image->valid() || !opened.debug.isEmpty())
                    QFAIL(qPrintable(QStringLiteral("byte %1 bit %2 accepted").arg(byte).arg(bit)));
            }
        }
    }

    void toolRoundTrip()
    {
        const QByteArray build1(5000, '\x11');
        QByteArray build2;
        for (int i = 0; i < 3001; ++i)
            build2.append(char(i * 13));
        const QString image = dir.filePath("release.crp");
        QByteArray out, err;
        QCOMPARE(runTool({"create", "--output", image, "--version", "1.6.1", "--vendor", "NORDA", "--model", "VKRHX350",
                          "--build", "r1=" + writeFile("b1", build1), "--build",
                          "21de3ef2-09bf-4a78-83a0-9eb750df2e57=" + writeFile("b2", build2)},
                         &out, &err),
                 0);
        QVERIFY(err.contains("development seed"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QCOMPARE(open(data, revision1).image->blob(), build1);
        const Opened second = open(data, revision2);
        QCOMPARE(second.image->blob(), build2);
        QCOMPARE(second.image->version(), QStringLiteral("1.6.1"));

        QCOMPARE(runTool({"inspect", image}, &out), 0);
        QVERIFY(out.contains("version: 1.6.1"));
        QVERIFY(out.contains("3cc3a93f426145ff95bf653df2686cb0  revision 1 (STM32G071KB), 5000 bytes"));
        QVERIFY(out.contains("21de3ef209bf4a7883a09eb750df2e57  revision 2 (STM32G070KB), 3001 bytes"));

        // The tool and the test's own builder agree on the format: the tool
        // verifies an image the test signed.
        const QString own = writeFile("own.crp", sign(head() + record(revision2, "abc")));
        QCOMPARE(runTool({"inspect", own}, &out), 0);
        QVERIFY(out.contains("revision 2 (STM32G070KB), 3 bytes"));
    }

    void toolRefusesBadInput_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("no command") << QStringList() << 2 << "Usage";
        QTest::newRow("unknown command") << QStringList{"sign"} << 2 << "unknown command sign";
        QTest::newRow("no build") << QStringList{"create", "--output", "x.crp", "--version", "1"} << 2
                                  << "at least one --build";
        QTest::newRow("bad build") << QStringList{"create", "--output", "x.crp", "--version", "1", "--build", "r3=f"}
                                   << 2 << "--build takes";
        QTest::newRow("missing build file")
            << QStringList{"create", "--output", "x.crp", "--version", "1", "--build", "r1=/nonexistent/b"}
            << 2 << "/nonexistent/b: no such file";
        QTest::newRow("version too long")
            << QStringList{"create", "--output", "x.crp", "--version", QString(33, '1'), "--build", "r1=SELF"}
            << 2 << "the version text must fit 32 bytes";
        QTest::newRow("bad seed") << QStringList{"create", "--output", "x.crp", "--version", "1", "--build",
                                                 "r1=SELF", "--seed", "SELF"}
                                  << 2 << "seed file must hold";
        QTest::newRow("inspect a non-image") << QStringList{"inspect", "SELF"} << 1 << "does not verify";
        QTest::newRow("inspect nothing") << QStringList{"inspect", "/nonexistent/i.crp"} << 2
                                         << "/nonexistent/i.crp: no such file";
        QTest::newRow("inspect a device") << QStringList{"inspect", "/dev/zero"} << 2
                                          << "/dev/zero is a device, not a regular file";
        // clang-format on
    }

    void toolRefusesBadInput()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const QString self = writeFile("some-file", "not an image, not a seed");
        args.replaceInStrings("SELF", self);
        QByteArray err;
        QTEST(runTool(args, nullptr, &err), "exitCode");
        QVERIFY2(err.contains(message.toUtf8()), err.constData());
    }
};

FROSTGAUGE_TEST_MAIN(FirmwareImageTest)
#include "test-firmware-image.moc"
