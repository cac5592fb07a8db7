#include "common/ini-file.h"

#include <QHash>
#include <QTextCodec>

const IniEntry *IniSection::find(const QString &key) const
{
    for (const IniEntry &entry : entries) {
        if (entry.key == key)
            return &entry;
    }
    return nullptr;
}

const IniSection *IniFile::find(const QString &name) const
{
    for (const IniSection &section : sections) {
        if (section.name == name)
            return &section;
    }
    return nullptr;
}

namespace {

// Another reader would take "value   ; remark" for a value and a comment;
// here a ';' belongs to the value, so one that reads as a comment is refused
// rather than quietly made part of it. Quoted, it is the value's.
bool looksLikeInlineComment(const QString &value)
{
    QChar quote;
    for (int i = 1; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
        } else if (c == QLatin1Char(';') && value.at(i - 1).isSpace()) {
            return true;
        }
    }
    return false;
}

bool fail(QString *error, int line, const QString &message)
{
    *error = QStringLiteral("line %1: %2").arg(line).arg(message);
    return false;
}

} // namespace

bool parseIni(const QByteArray &text, IniFile *file, QString *error)
{
    *file = IniFile();
    file->sections.append(IniSection());
    QHash<QString, int> sectionLines;
    QHash<QString, int> keyLines; // of the current section

    QByteArray bytes = text;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    const QList<QByteArray> lines = bytes.split('\n');
    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    for (int i = 0; i < lines.size(); ++i) {
        const int number = i + 1;
        QByteArray raw = lines.at(i);
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (raw.contains('\0'))
            return fail(error, number, QStringLiteral("holds a NUL byte"));
        QTextCodec::ConverterState state;
        const QString line = utf8->toUnicode(raw.constData(), raw.size(), &state).trimmed();
        if (state.invalidChars > 0)
            return fail(error, number, QStringLiteral("is not UTF-8 text"));
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')) || line.size() < 3)
                return fail(error, number, QStringLiteral("a section is written [NAME], alone on its line"));
            const QString name = line.mid(1, line.size() - 2).trimmed();
            if (name.isEmpty() || name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']')))
                return fail(error, number, QStringLiteral("a section is written [NAME], alone on its line"));
            if (sectionLines.contains(name))
                return fail(error, number,
                            QStringLiteral("[%1] again (first at line %2)").arg(name).arg(sectionLines.value(name)));
            sectionLines.insert(name, number);
            keyLines.clear();
            IniSection section;
            section.name = name;
            section.line = number;
            file->sections.append(section);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return fail(error, number, QStringLiteral("neither [SECTION] nor KEY=VALUE nor a comment"));
        IniEntry entry;
        entry.key = line.left(equals).trimmed();
        entry.value = line.mid(equals + 1).trimmed();
        entry.line = number;
        if (entry.key.isEmpty())
            return fail(error, number, QStringLiteral("a value without a key"));
        if (looksLikeInlineComment(entry.value))
            return fail(error, number,
                        QStringLiteral("%1: a ';' after a blank would be part of the value; comments go on lines of "
                                       "their own (quote the ';' to keep it)")
                            .arg(entry.key));
        IniSection &section = file->sections.last();
        if (keyLines.contains(entry.key)) {
            const QString where = section.name.isEmpty() ? QString() : QStringLiteral("[%1] ").arg(section.name);
            return fail(
                error, number,
                QStringLiteral("%1%2 again (first at line %3)").arg(where, entry.key).arg(keyLines.value(entry.key)));
        }
        keyLines.insert(entry.key, number);
        section.entries.append(entry);
    }
    return true;
}
