#pragma once

// A strict reader of INI files: every value exactly as written between the
// '=' and the end of its line (quotes, backslashes, commas and ';' included;
// only the blanks around it go), comments only on lines of their own (an
// unquoted ';' after a blank, which other readers take for a comment, is
// refused), and no section or key given twice. The text must be UTF-8.

#include <QByteArray>
#include <QString>
#include <QVector>

struct IniEntry {
    QString key;
    QString value;
    int line = 0;
};

struct IniSection {
    QString name; // empty: the keys before the first section
    int line = 0;
    QVector<IniEntry> entries;

    const IniEntry *find(const QString &key) const;
};

struct IniFile {
    // The keys before any section come first, as a section without a name.
    QVector<IniSection> sections;

    const IniSection *find(const QString &name) const;
};

// False with error as "line N: what is wrong".
bool parseIni(const QByteArray &text, IniFile *file, QString *error);
