#include "firmware.h"

#include "device/compat-ids.h"
#include "device/log-categories.h"
#include "firmware-key.h"

#include <QDebug>
#include <QtEndian>

#include <sodium.h>

#include <vector>

const unsigned char vkr_firmware_mask[32] = {
    0xb6, 0xf2, 0x00, 0x08, 0xfd, 0xb7, 0xc1, 0x7d, 0x75, 0x41, 0xa6, 0x26, 0xc8, 0x92, 0x4e, 0xb8,
    0x23, 0x28, 0x3d, 0xb3, 0x01, 0x13, 0x0e, 0x9c, 0x78, 0x27, 0x7d, 0xff, 0xbb, 0xa9, 0xa3, 0x97,
};

const unsigned char fw_descriptor_uuid1[16] = {
    0x83, 0x5e, 0x64, 0x0a, 0xcb, 0xa1, 0x4f, 0x94, 0x9f, 0xbb, 0x90, 0x7d, 0xfe, 0x16, 0x80, 0xde,
};

const unsigned char fw_descriptor_uuid2[16] = {
    0xf0, 0x84, 0x31, 0x8d, 0xf2, 0xf5, 0x41, 0x63, 0xbc, 0x5c, 0x36, 0x6f, 0x68, 0x62, 0x77, 0xfb,
};

const unsigned char *vkr_firmware_public_key()
{
    return vkr_firmware_pk;
}

void maskFirmwarePayload(QByteArray &payload)
{
    char *bytes = payload.data();
    for (int i = 0; i < payload.size(); ++i)
        bytes[i] = char(uchar(bytes[i]) ^ vkr_firmware_mask[i % 32] ^ uchar(i % 256));
}

Firmware::~Firmware() = default;

Firmware *Firmware::fromFileData(const QByteArray &fileData, const QByteArray &compatId)
{
    return new FirmwareImpl(fileData, compatId);
}

namespace {

bool bytesEqual(const QByteArray &bytes, int offset, const unsigned char (&id)[16])
{
    return bytes.size() - offset >= 16 && memcmp(bytes.constData() + offset, id, 16) == 0;
}

quint32 readLe32(const QByteArray &bytes, qint64 offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

// Texts are NUL-padded; every NUL is dropped wherever it stands (so the
// conversion must not stop at the first one).
QString readText(const QByteArray &payload, int offset)
{
    const QByteArray field = payload.mid(offset, FirmwareLayout::TextSize);
    return QString::fromUtf8(field.constData(), field.size()).remove(QChar(0));
}

} // namespace

bool openFirmwarePayload(const QByteArray &fileData, QByteArray *payload)
{
    using namespace FirmwareLayout;
    if (fileData.size() < SignatureSize)
        return false;
    std::vector<unsigned char> opened(size_t(fileData.size() - SignatureSize) + 1);
    unsigned long long openedLength = 0;
    if (crypto_sign_open(opened.data(), &openedLength, reinterpret_cast<const unsigned char *>(fileData.constData()),
                         (unsigned long long)fileData.size(), vkr_firmware_pk)
        != 0)
        return false;
    *payload = QByteArray(reinterpret_cast<const char *>(opened.data()), int(openedLength));
    maskFirmwarePayload(*payload);
    return true;
}

QVector<FirmwareRecord> firmwareRecords(const QByteArray &payload)
{
    using namespace FirmwareLayout;
    // Positions in 64 bits: every length comes from the file.
    QVector<FirmwareRecord> records;
    const qint64 length = payload.size();
    for (qint64 p = 0; p < length - RecordsOffset;) {
        FirmwareRecord record;
        record.start = RecordsOffset + p;
        if (record.start + RecordHeaderSize > length)
            break;
        record.compatId = payload.mid(int(record.start), 16);
        record.blobOffset = readLe32(payload, record.start + 16);
        record.blobSize = readLe32(payload, record.start + 20);
        record.blobAreaSize = readLe32(payload, record.start + 24);
        // The step to the next record is formed in 32 bits, as the format
        // defines it: a sum that wraps to zero is a zero step. A zero step is
        // malformed (the next record would be this one again): the walk ends
        // before it, so such a record is never selected.
        const quint32 step = record.blobOffset + record.blobAreaSize;
        if (step == 0)
            break;
        records.append(record);
        p += qint64(step);
    }
    return records;
}

FirmwareImpl::FirmwareImpl(const QByteArray &fileData, const QByteArray &compatId) : m_compatId(compatId)
{
    using namespace FirmwareLayout;
    QByteArray payload;
    if (!openFirmwarePayload(fileData, &payload))
        return;

    if (bytesEqual(payload, FormatIdOffset, fw_descriptor_uuid1)) {
        qCDebug(lcFirmware) << "Firmware image format version 1 is not supported by this program";
        return;
    }
    if (!bytesEqual(payload, FormatIdOffset, fw_descriptor_uuid2))
        return;

    // The first record for the identifier wins; an identifier shorter than 16
    // bytes matches none.
    const FirmwareRecord *selected = nullptr;
    const QVector<FirmwareRecord> records = firmwareRecords(payload);
    if (compatId.size() >= 16) {
        for (const FirmwareRecord &record : records) {
            if (record.compatId == compatId.left(16)) {
                selected = &record;
                break;
            }
        }
    }
    if (!selected) {
        qCDebug(lcFirmware) << "Can't find compatible firmware image, comapt:" << compatId;
        return;
    }

    const qint64 blobStart = selected->start + selected->blobOffset;
    if (blobStart + selected->blobSize > payload.size()) {
        qCDebug(lcFirmware) << "Firmware image record for this device lies outside the image";
        return;
    }

    m_valid = true;
    m_version = readText(payload, VersionOffset);
    m_vendor = readText(payload, VendorOffset);
    m_model = readText(payload, ModelOffset);
    m_blob = payload.mid(int(blobStart), int(selected->blobSize));

    if (selected->compatId == compatIdBytes(uuid_compat_stm32g071kb_r1))
        qCDebug(lcFirmware) << "Found firmware image for device revision 1";
    else if (selected->compatId == compatIdBytes(uuid_compat_stm32g070kb_r2))
        qCDebug(lcFirmware) << "Found firmware image for device revision 2";
    else
        qCDebug(lcFirmware) << "Found firmware image for device with unknown revision";
}
