// frostgauge-image: builds signed firmware image files (*.crp) and checks them.
//
//   frostgauge-image create --output FILE --version V [--vendor TEXT] [--model TEXT]
//                           --build r1=FILE [--build r2=FILE] [--build HEX32=FILE]
//                           [--seed FILE]
//   frostgauge-image inspect FILE

#include "common/program-exit.h"
#include "device/compat-ids.h"
#include "device/input-file.h"
#include "firmware/firmware.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>
#include <QtEndian>

#include <sodium.h>

#include <cstdio>

namespace {

// The development signing seed: anyone can sign with it, so images signed with
// it are for tests, the simulator and demonstrations only.
const char developmentSeedHex[] = "142f5053b0b777c537718762b452c22af5c4d82b595c3c470d310a0d874382bc";

const char usageText[] = "Usage:\n"
                         "  frostgauge-image create --output FILE --version VERSION [--vendor TEXT] [--model TEXT]\n"
                         "                          --build r1=FILE [--build r2=FILE] [--build HEX32=FILE]\n"
                         "                          [--seed FILE]\n"
                         "  frostgauge-image inspect FILE\n"
                         "\n"
                         "create  builds a signed, masked format-2 image holding one build per board revision\n"
                         "        (r1, r2, or a compatibility identifier as 32 hexadecimal digits). The signing\n"
                         "        seed is read from FILE (32 bytes, or 64 hexadecimal digits); without --seed\n"
                         "        the development seed is used.\n"
                         "inspect verifies an image with this program's public key and lists its texts and records.\n";

int fail(const QString &message, int code = 2)
{
    return exitWith(code, message);
}

// Seeds, builds and images are all well under an image's bound.
bool readFile(const QString &path, QByteArray *data, QString *error)
{
    return readInputFile(path, MaxFirmwareImageBytes, data, error);
}

bool parseCompatId(const QString &name, QByteArray *id)
{
    if (name == QLatin1String("r1")) {
        *id = compatIdBytes(uuid_compat_stm32g071kb_r1);
        return true;
    }
    if (name == QLatin1String("r2")) {
        *id = compatIdBytes(uuid_compat_stm32g070kb_r2);
        return true;
    }
    QString hex = name;
    hex.remove(QLatin1Char('-'));
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9a-fA-F]{32}$"));
    if (!hexDigits.match(hex).hasMatch())
        return false;
    *id = QByteArray::fromHex(hex.toLatin1());
    return true;
}

bool appendText(QByteArray *payload, const QString &text, const char *what, QString *error)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > FirmwareLayout::TextSize || bytes.contains('\0')) {
        *error = QStringLiteral("the %1 text must fit %2 bytes of UTF-8 without NUL")
                     .arg(QLatin1String(what))
                     .arg(FirmwareLayout::TextSize);
        return false;
    }
    payload->append(bytes);
    payload->append(FirmwareLayout::TextSize - bytes.size(), '\0');
    return true;
}

void appendLe32(QByteArray *bytes, quint32 value)
{
    char le[4];
    qToLittleEndian(value, le);
    bytes->append(le, 4);
}

int create(const QStringList &args)
{
    QString output, version, vendor = QStringLiteral("NORDA"), model = QStringLiteral("VKRHX350"), seedPath;
    QList<QPair<QByteArray, QString>> builds;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (i + 1 >= args.size())
            return fail(QStringLiteral("%1 needs a value\n\n%2").arg(arg, QLatin1String(usageText)));
        const QString value = args.at(++i);
        if (arg == QLatin1String("--output")) {
            output = value;
        } else if (arg == QLatin1String("--version")) {
            version = value;
        } else if (arg == QLatin1String("--vendor")) {
            vendor = value;
        } else if (arg == QLatin1String("--model")) {
            model = value;
        } else if (arg == QLatin1String("--seed")) {
            seedPath = value;
        } else if (arg == QLatin1String("--build")) {
            const int equals = value.indexOf(QLatin1Char('='));
            QByteArray id;
            if (equals <= 0 || !parseCompatId(value.left(equals), &id))
                return fail(QStringLiteral("--build takes r1=FILE, r2=FILE or HEX32=FILE, not %1").arg(value));
            builds.append({id, value.mid(equals + 1)});
        } else {
            return fail(QStringLiteral("unknown option %1\n\n%2").arg(arg, QLatin1String(usageText)));
        }
    }
    if (output.isEmpty() || version.isEmpty() || builds.isEmpty())
        return fail(QStringLiteral("create needs --output, --version and at least one --build\n\n")
                    + QLatin1String(usageText));

    QByteArray seed = QByteArray::fromHex(developmentSeedHex);
    if (seedPath.isEmpty()) {
        fprintf(stderr, "frostgauge-image: signing with the development seed (for tests and demos only)\n");
    } else {
        QByteArray raw;
        QString error;
        if (!readFile(seedPath, &raw, &error))
            return fail(error);
        const QByteArray trimmed = raw.trimmed();
        if (raw.size() == int(crypto_sign_SEEDBYTES))
            seed = raw;
        else if (trimmed.size() == 2 * int(crypto_sign_SEEDBYTES)
                 && QRegularExpression(QStringLiteral("^[0-9a-fA-F]+$")).match(QString::fromLatin1(trimmed)).hasMatch())
            seed = QByteArray::fromHex(trimmed);
        else
            return fail(QStringLiteral("the seed file must hold 32 bytes or 64 hexadecimal digits"));
    }

    QByteArray payload(reinterpret_cast<const char *>(fw_descriptor_uuid2), 16);
    payload.append(16, '\0');
    QString error;
    if (!appendText(&payload, version, "version", &error) || !appendText(&payload, vendor, "vendor", &error)
        || !appendText(&payload, model, "model", &error))
        return fail(error);

    // Each record: identifier, then the build right after a 32-byte header,
    // padded to a multiple of 8 so the next record stays aligned.
    const quint32 headerSize = 32;
    for (const auto &build : builds) {
        QByteArray blob;
        if (!readFile(build.second, &blob, &error))
            return fail(error);
        if (blob.isEmpty())
            return fail(QStringLiteral("%1 is empty").arg(build.second));
        const quint32 area = quint32((blob.size() + 7) / 8 * 8);
        payload.append(build.first);
        appendLe32(&payload, headerSize);
        appendLe32(&payload, quint32(blob.size()));
        appendLe32(&payload, area);
        payload.append(int(headerSize) - FirmwareLayout::RecordHeaderSize, '\0');
        payload.append(blob);
        payload.append(int(area) - blob.size(), '\0');
    }
    maskFirmwarePayload(payload);

    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secretKey, reinterpret_cast<const unsigned char *>(seed.constData()));
    QByteArray signedFile(int(crypto_sign_BYTES) + payload.size(), '\0');
    unsigned long long signedLength = 0;
    crypto_sign(reinterpret_cast<unsigned char *>(signedFile.data()), &signedLength,
                reinterpret_cast<const unsigned char *>(payload.constData()), (unsigned long long)payload.size(),
                secretKey);
    sodium_memzero(secretKey, sizeof secretKey);

    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly) || file.write(signedFile) != signedFile.size() || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(output, file.errorString()));
    if (memcmp(publicKey, vkr_firmware_public_key(), sizeof publicKey) != 0)
        fprintf(stderr, "frostgauge-image: note: this seed's public key is not the one this build "
                        "of Frostgauge verifies with\n");
    return 0;
}

QString revisionName(const QByteArray &id)
{
    if (id == compatIdBytes(uuid_compat_stm32g071kb_r1))
        return QStringLiteral("revision 1 (STM32G071KB)");
    if (id == compatIdBytes(uuid_compat_stm32g070kb_r2))
        return QStringLiteral("revision 2 (STM32G070KB)");
    return QStringLiteral("unknown revision");
}

int inspect(const QStringList &args)
{
    if (args.size() != 1)
        return fail(QStringLiteral("inspect takes one image file\n\n") + QLatin1String(usageText));
    QByteArray data;
    QString error;
    if (!readFile(args.first(), &data, &error))
        return fail(error);
    QByteArray payload;
    if (!openFirmwarePayload(data, &payload))
        return fail(
            QStringLiteral("%1: the signature does not verify with this program's public key").arg(args.first()), 1);
    if (payload.left(16) == QByteArray(reinterpret_cast<const char *>(fw_descriptor_uuid1), 16))
        return fail(QStringLiteral("%1: image format version 1, which Frostgauge does not read").arg(args.first()), 1);
    if (payload.left(16) != QByteArray(reinterpret_cast<const char *>(fw_descriptor_uuid2), 16))
        return fail(QStringLiteral("%1: unknown image format").arg(args.first()), 1);

    QTextStream out(stdout);
    auto text = [&](int offset) {
        const QByteArray field = payload.mid(offset, FirmwareLayout::TextSize);
        return QString::fromUtf8(field.constData(), field.size()).remove(QChar(0));
    };
    out << "format:  2\n";
    out << "version: " << text(FirmwareLayout::VersionOffset) << "\n";
    out << "vendor:  " << text(FirmwareLayout::VendorOffset) << "\n";
    out << "model:   " << text(FirmwareLayout::ModelOffset) << "\n";
    const QVector<FirmwareRecord> records = firmwareRecords(payload);
    int problems = 0;
    for (const FirmwareRecord &record : records) {
        const bool inside = record.start + record.blobOffset + qint64(record.blobSize) <= payload.size();
        out << "record:  " << record.compatId.toHex() << "  " << revisionName(record.compatId) << ", "
            << record.blobSize << " bytes" << (inside ? "" : "  (lies outside the image)") << "\n";
        if (!inside)
            ++problems;
    }
    if (records.isEmpty())
        out << "record:  none\n";
    out.flush();
    return records.isEmpty() || problems ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("frostgauge-image"));
    if (sodium_init() != 0)
        return fail(QStringLiteral("cannot initialise libsodium"), 1);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")) {
        fputs(usageText, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 2 : 0;
    }
    const QString command = args.takeFirst();
    if (command == QLatin1String("create"))
        return create(args);
    if (command == QLatin1String("inspect"))
        return inspect(args);
    return fail(QStringLiteral("unknown command %1\n\n%2").arg(command, QLatin1String(usageText)));
}
