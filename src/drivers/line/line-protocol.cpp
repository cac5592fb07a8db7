#include "drivers/line/line-protocol.h"

#include "common/ini-file.h"
#include "drivers/channel-units.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSet>

#include <cmath>

namespace {

// Larger files are no protocol description: refused before they are read.
constexpr qint64 LargestFileBytes = 256 * 1024;

// One file's reading, with the place of every problem.
class Reader
{
public:
    explicit Reader(const QString &path) : m_path(path) {}

    bool fail(const IniSection &section, const QString &key, const QString &what)
    {
        const IniEntry *entry = section.find(key);
        m_error = QStringLiteral("%1: line %2: [%3] %4: %5")
                      .arg(m_path)
                      .arg(entry ? entry->line : section.line)
                      .arg(section.name, key, what);
        return false;
    }
    bool failSection(const IniSection &section, const QString &what)
    {
        m_error = QStringLiteral("%1: line %2: [%3]: %4").arg(m_path).arg(section.line).arg(section.name, what);
        return false;
    }
    QString error() const { return m_error; }

    bool onlyKnownKeys(const IniSection &section, const QStringList &known)
    {
        for (const IniEntry &entry : section.entries) {
            if (!known.contains(entry.key))
                return fail(section, entry.key,
                            QStringLiteral("unknown key (known: %1)").arg(known.join(QLatin1String(", "))));
        }
        return true;
    }
    static QString text(const IniSection &section, const QString &key, const QString &fallback = QString())
    {
        const IniEntry *entry = section.find(key);
        return entry ? entry->value : fallback;
    }
    bool whole(const IniSection &section, const QString &key, int lowest, int highest, int *value)
    {
        if (!section.find(key))
            return true;
        bool ok = false;
        const int number = text(section, key).toInt(&ok);
        if (!ok || number < lowest || number > highest)
            return fail(section, key, QStringLiteral("takes a whole number from %1 to %2").arg(lowest).arg(highest));
        *value = number;
        return true;
    }
    bool number(const IniSection &section, const QString &key, double *value)
    {
        if (!section.find(key))
            return true;
        bool ok = false;
        const double number = QLocale::c().toDouble(text(section, key), &ok);
        if (!ok || !std::isfinite(number))
            return fail(section, key, QStringLiteral("takes a number (1.5, -2e-3)"));
        *value = number;
        return true;
    }
    bool bytes(const IniSection &section, const QString &key, QByteArray *value)
    {
        if (!section.find(key))
            return true;
        QString why;
        if (!unescapeLineBytes(text(section, key), value, &why))
            return fail(section, key, why);
        return true;
    }
    bool choice(const IniSection &section, const QString &key, const QStringList &words, int *index)
    {
        if (!section.find(key))
            return true;
        const int found = words.indexOf(text(section, key));
        if (found < 0)
            return fail(section, key, QStringLiteral("takes one of %1").arg(words.join(QLatin1String(", "))));
        *index = found;
        return true;
    }
    bool expression(const IniSection &section, const QString &key, QRegularExpression *value)
    {
        if (!section.find(key))
            return true;
        const QRegularExpression compiled(text(section, key));
        if (!compiled.isValid())
            return fail(section, key,
                        QStringLiteral("the regular expression does not compile: %1 at character %2")
                            .arg(compiled.errorString())
                            .arg(compiled.patternErrorOffset() + 1));
        *value = compiled;
        return true;
    }

private:
    QString m_path;
    QString m_error;
};

bool validName(const QString &name)
{
    if (name.isEmpty())
        return false;
    for (const QChar c : name) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-') || c == QLatin1Char('.')))
            return false;
    }
    return true;
}

bool readProtocolSection(Reader &read, const IniSection &section, LineProtocol *protocol)
{
    if (!read.onlyKnownKeys(
            section, {QStringLiteral("description"), QStringLiteral("baud"), QStringLiteral("data_bits"),
                      QStringLiteral("parity"), QStringLiteral("stop_bits"), QStringLiteral("flow"),
                      QStringLiteral("out_terminator"), QStringLiteral("in_terminator"), QStringLiteral("reply_length"),
                      QStringLiteral("reply_timeout"), QStringLiteral("read_timeout"), QStringLiteral("gap"),
                      QStringLiteral("identify"), QStringLiteral("identify_reply"), QStringLiteral("init"),
                      QStringLiteral("error_reply"), QStringLiteral("sim_identify"), QStringLiteral("sim_error")}))
        return false;
    protocol->description = Reader::text(section, QStringLiteral("description"));
    SerialLine &serial = protocol->serial;
    int parity = serial.parity;
    int flow = serial.flow;
    if (!read.whole(section, QStringLiteral("baud"), 50, 4000000, &serial.baud)
        || !read.whole(section, QStringLiteral("data_bits"), 5, 8, &serial.dataBits)
        || !read.whole(section, QStringLiteral("stop_bits"), 1, 2, &serial.stopBits)
        || !read.choice(section, QStringLiteral("parity"),
                        {QStringLiteral("none"), QStringLiteral("even"), QStringLiteral("odd")}, &parity)
        || !read.choice(section, QStringLiteral("flow"),
                        {QStringLiteral("none"), QStringLiteral("hardware"), QStringLiteral("software")}, &flow)
        || !read.bytes(section, QStringLiteral("out_terminator"), &protocol->outTerminator)
        || !read.bytes(section, QStringLiteral("in_terminator"), &protocol->inTerminator)
        || !read.whole(section, QStringLiteral("reply_length"), 0, 65536, &protocol->replyLength)
        || !read.whole(section, QStringLiteral("reply_timeout"), 1, 600000, &protocol->replyTimeoutMs)
        || !read.whole(section, QStringLiteral("read_timeout"), 1, 60000, &protocol->readTimeoutMs)
        || !read.whole(section, QStringLiteral("gap"), 0, 60000, &protocol->gapMs)
        || !read.bytes(section, QStringLiteral("identify"), &protocol->identify)
        || !read.expression(section, QStringLiteral("identify_reply"), &protocol->identifyReply)
        || !read.expression(section, QStringLiteral("error_reply"), &protocol->errorReply))
        return false;
    serial.parity = SerialLine::Parity(parity);
    serial.flow = SerialLine::Flow(flow);
    if (section.find(QStringLiteral("init"))) {
        // Commands are separated by \n as written, each unescaped on its own.
        const QStringList commands = Reader::text(section, QStringLiteral("init")).split(QStringLiteral("\\n"));
        for (const QString &command : commands) {
            QByteArray bytes;
            QString why;
            if (!unescapeLineBytes(command, &bytes, &why))
                return read.fail(section, QStringLiteral("init"), why);
            if (!bytes.isEmpty())
                protocol->init.append(bytes);
        }
    }
    if (protocol->identify.isEmpty() != protocol->identifyReply.pattern().isEmpty())
        return read.fail(section,
                         protocol->identify.isEmpty() ? QStringLiteral("identify_reply") : QStringLiteral("identify"),
                         QStringLiteral("identify and identify_reply go together"));
    const QStringList groups = protocol->identifyReply.namedCaptureGroups();
    for (const QString &group : groups) {
        if (!group.isEmpty()
            && !QStringList{QStringLiteral("serial"), QStringLiteral("model"), QStringLiteral("version"),
                            QStringLiteral("manufacturer")}
                    .contains(group))
            return read.fail(section, QStringLiteral("identify_reply"),
                             QStringLiteral("(?<%1>...) is no part of an identity (serial, model, version, "
                                            "manufacturer)")
                                 .arg(group));
    }
    protocol->simIdentify = Reader::text(section, QStringLiteral("sim_identify"), protocol->simIdentify);
    protocol->simError = Reader::text(section, QStringLiteral("sim_error"), protocol->simError);
    return true;
}

bool readStates(Reader &read, const IniSection &section, LineChannel *channel)
{
    const QStringList pairs = Reader::text(section, QStringLiteral("states")).split(QLatin1Char(','));
    for (const QString &pair : pairs) {
        const int equals = pair.indexOf(QLatin1Char('='));
        bool ok = false;
        const QString word = pair.left(equals).trimmed();
        const double number = equals > 0 ? QLocale::c().toDouble(pair.mid(equals + 1).trimmed(), &ok) : 0;
        if (!ok || word.isEmpty() || !std::isfinite(number))
            return read.fail(section, QStringLiteral("states"),
                             QStringLiteral("takes WORD=number pairs separated by commas (ON=1, OFF=0); '%1' is "
                                            "none")
                                 .arg(pair.trimmed()));
        for (const auto &known : qAsConst(channel->states)) {
            if (known.first == word)
                return read.fail(section, QStringLiteral("states"), QStringLiteral("%1 is given twice").arg(word));
        }
        channel->states.append({word, number});
    }
    return true;
}

bool readChannel(Reader &read, const IniSection &section, LineProtocol *protocol)
{
    if (!read.onlyKnownKeys(section, {QStringLiteral("query"), QStringLiteral("reply"), QStringLiteral("field"),
                                      QStringLiteral("unit"), QStringLiteral("scale"), QStringLiteral("offset"),
                                      QStringLiteral("states"), QStringLiteral("min"), QStringLiteral("max"),
                                      QStringLiteral("sim_value"), QStringLiteral("sim_step"),
                                      QStringLiteral("sim_reply"), QStringLiteral("sim_every")}))
        return false;
    LineChannel channel;
    channel.name = section.name.mid(int(qstrlen("channel/")));
    channel.line = section.line;
    if (!validName(channel.name))
        return read.failSection(section, QStringLiteral("a channel's name is letters, digits, '_', '-' and '.'"));
    if (!read.bytes(section, QStringLiteral("query"), &channel.query))
        return false;
    if (!section.find(QStringLiteral("reply")))
        return read.failSection(section, QStringLiteral("reply= is missing: the regular expression a reply matches"));
    if (!read.expression(section, QStringLiteral("reply"), &channel.reply))
        return false;
    const QString field = Reader::text(section, QStringLiteral("field"), QStringLiteral("1"));
    bool numbered = false;
    channel.field = field.toInt(&numbered);
    if (!numbered) {
        channel.fieldName = field;
        if (!channel.reply.namedCaptureGroups().contains(field))
            return read.fail(section, QStringLiteral("field"),
                             QStringLiteral("reply= has no group (?<%1>...)").arg(field));
    } else if (channel.field < 0 || channel.field > channel.reply.captureCount()) {
        return read.fail(section,
                         section.find(QStringLiteral("field")) ? QStringLiteral("field") : QStringLiteral("reply"),
                         QStringLiteral("reply= has %1 capture group(s), so there is no group %2")
                             .arg(channel.reply.captureCount())
                             .arg(channel.field));
    }
    channel.unit = Reader::text(section, QStringLiteral("unit"));
    if (!findChannelUnit(channel.unit))
        return read.fail(section, QStringLiteral("unit"),
                         QStringLiteral("%1 is not a unit this monitor knows (%2)")
                             .arg(channel.unit, channelUnitSymbols().join(QLatin1String(", "))));
    if (section.find(QStringLiteral("states")) && !readStates(read, section, &channel))
        return false;
    if (!read.number(section, QStringLiteral("scale"), &channel.scale)
        || !read.number(section, QStringLiteral("offset"), &channel.offset)
        || !read.number(section, QStringLiteral("min"), &channel.lowest)
        || !read.number(section, QStringLiteral("max"), &channel.highest)
        || !read.number(section, QStringLiteral("sim_step"), &channel.simStep)
        || !read.whole(section, QStringLiteral("sim_every"), 0, 3600000, &channel.simEveryMs))
        return false;
    if (channel.lowest >= channel.highest)
        return read.fail(section, QStringLiteral("max"), QStringLiteral("must be above min="));
    channel.simValue = Reader::text(section, QStringLiteral("sim_value"),
                                    channel.states.isEmpty() ? QStringLiteral("1") : channel.states.first().first);
    channel.simReply = Reader::text(section, QStringLiteral("sim_reply"), QStringLiteral("{%1}").arg(channel.name));
    for (const LineChannel &other : qAsConst(protocol->channels)) {
        if (other.name.compare(channel.name, Qt::CaseInsensitive) == 0)
            return read.failSection(section, QStringLiteral("a channel %1 is given already").arg(other.name));
    }
    protocol->channels.append(channel);
    return true;
}

} // namespace

bool LineChannel::valueOf(const QString &captured, double *value, QString *why) const
{
    const QString text = captured.trimmed();
    if (!states.isEmpty()) {
        for (const auto &state : states) {
            if (state.first == text) {
                *value = state.second;
                return true;
            }
        }
        QStringList words;
        for (const auto &state : states)
            words << state.first;
        *why = QStringLiteral("'%1' is none of the states %2").arg(text, words.join(QLatin1String(", ")));
        return false;
    }
    bool ok = false;
    const double number = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(number)) {
        *why = QStringLiteral("'%1' is not a number").arg(text);
        return false;
    }
    *value = number * scale + offset;
    return true;
}

QString LineChannel::capture(const QRegularExpressionMatch &match) const
{
    return fieldName.isEmpty() ? match.captured(field) : match.captured(fieldName);
}

bool LineProtocol::endsLinesByCrOrLf() const
{
    return inTerminator == "\n" || inTerminator == "\r\n" || inTerminator == "\r";
}

bool loadLineProtocol(const QString &path, LineProtocol *protocol, QString *error)
{
    *protocol = LineProtocol();
    protocol->path = path;
    QFile file(path);
    const QFileInfo info(path);
    if (!info.isFile()) {
        *error = info.exists() ? QStringLiteral("%1: is not a regular file").arg(path)
                               : QStringLiteral("%1: no such file").arg(path);
        return false;
    }
    if (info.size() > LargestFileBytes) {
        *error = QStringLiteral("%1: %2 bytes is too large for a protocol description (at most %3)")
                     .arg(path)
                     .arg(info.size())
                     .arg(LargestFileBytes);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    IniFile ini;
    QString why;
    if (!parseIni(file.read(LargestFileBytes + 1), &ini, &why)) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    }
    Reader read(path);
    for (const IniSection &section : qAsConst(ini.sections)) {
        bool ok = true;
        if (section.name.isEmpty()) {
            if (!section.entries.isEmpty())
                ok = read.fail(section, section.entries.first().key, QStringLiteral("a key before any section"));
        } else if (section.name == QLatin1String("protocol")) {
            ok = readProtocolSection(read, section, protocol);
        } else if (section.name.startsWith(QLatin1String("channel/"))) {
            ok = readChannel(read, section, protocol);
        } else {
            ok = read.failSection(section, QStringLiteral("unknown section (known: [protocol], [channel/NAME])"));
        }
        if (!ok) {
            *error = read.error();
            return false;
        }
    }
    if (!ini.find(QStringLiteral("protocol"))) {
        *error = QStringLiteral("%1: no [protocol] section").arg(path);
        return false;
    }
    if (protocol->channels.isEmpty()) {
        *error = QStringLiteral("%1: no [channel/NAME] section: an instrument gives at least one value").arg(path);
        return false;
    }
    return true;
}

QStringList lineProtocolFolders()
{
    return {QStringLiteral("/etc/frostgauge/protocols"), QStringLiteral(FROSTGAUGE_PROTOCOL_DIR)};
}

QString findLineProtocol(const QString &value, QString *error)
{
    if (value.contains(QLatin1Char('/')) || value.endsWith(QLatin1String(".conf"))) {
        if (QFileInfo::exists(value))
            return value;
        *error = QStringLiteral("%1: no such file").arg(value);
        return QString();
    }
    if (!validName(value)) {
        *error = QStringLiteral("'%1' is neither a protocol's name nor a path").arg(value);
        return QString();
    }
    for (const QString &folder : lineProtocolFolders()) {
        const QString path = QDir(folder).filePath(value + QStringLiteral(".conf"));
        if (QFileInfo::exists(path))
            return path;
    }
    *error = QStringLiteral("no protocol %1 (looked for %1.conf in %2)")
                 .arg(value, lineProtocolFolders().join(QLatin1String(" and ")));
    return QString();
}

bool unescapeLineBytes(const QString &text, QByteArray *bytes, QString *why)
{
    bytes->clear();
    const QByteArray utf8 = text.toUtf8();
    for (int i = 0; i < utf8.size(); ++i) {
        const char c = utf8.at(i);
        if (c != '\\') {
            bytes->append(c);
            continue;
        }
        const char next = i + 1 < utf8.size() ? utf8.at(i + 1) : '\0';
        ++i;
        switch (next) {
        case 'r':
            bytes->append('\r');
            break;
        case 'n':
            bytes->append('\n');
            break;
        case 't':
            bytes->append('\t');
            break;
        case '\\':
            bytes->append('\\');
            break;
        case 'x': {
            bool ok = false;
            const int value = utf8.mid(i + 1, 2).toInt(&ok, 16);
            if (!ok || utf8.mid(i + 1, 2).size() != 2) {
                *why = QStringLiteral("\\x takes two hexadecimal digits (\\x03)");
                return false;
            }
            bytes->append(char(value));
            i += 2;
            break;
        }
        default:
            *why = QStringLiteral("\\%1 is not an escape (known: \\r \\n \\t \\\\ \\xHH)")
                       .arg(next ? QString(QLatin1Char(next)) : QString());
            return false;
        }
    }
    return true;
}

QString escapeLineBytes(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            text += QLatin1String("\\r");
        else if (c == '\n')
            text += QLatin1String("\\n");
        else if (c == '\t')
            text += QLatin1String("\\t");
        else if (c == '\\')
            text += QLatin1String("\\\\");
        else if (byte < 0x20 || byte >= 0x7f)
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
        else
            text += QLatin1Char(c);
    }
    return text;
}
