#pragma once

// A prepared SQLite statement that finalizes itself, with the binds and
// column reads the history store uses.

#include <QByteArray>
#include <QString>

#include <sqlite3.h>

// A statement that finalizes itself; or, made from one that its owner keeps
// prepared, is reset and unbound when done, ready for the next use.
class SqliteStatement
{
public:
    // No statement (false) on a closed handle: a store given up stays safe to ask.
    SqliteStatement(sqlite3 *db, const char *sql)
    {
        if (db)
            sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
    }
    explicit SqliteStatement(sqlite3_stmt *kept) : m_stmt(kept), m_kept(true) {}
    ~SqliteStatement()
    {
        if (!m_kept) {
            sqlite3_finalize(m_stmt);
        } else if (m_stmt) {
            sqlite3_reset(m_stmt);
            sqlite3_clear_bindings(m_stmt);
        }
    }
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;
    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt *get() const { return m_stmt; }
    void bind(int index, qint64 value) { sqlite3_bind_int64(m_stmt, index, value); }
    void bind(int index, double value) { sqlite3_bind_double(m_stmt, index, value); }
    void bind(int index, const QString &value)
    {
        const QByteArray utf8 = value.toUtf8();
        sqlite3_bind_text(m_stmt, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(m_stmt); }
    void reset() { sqlite3_reset(m_stmt); }
    qint64 integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    double real(int column) const { return sqlite3_column_double(m_stmt, column); }
    QString text(int column) const
    {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column)),
                                 sqlite3_column_bytes(m_stmt, column));
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
    bool m_kept = false;
};
