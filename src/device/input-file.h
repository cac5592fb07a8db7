#pragma once

#include <QByteArray>
#include <QString>

// Reads a file the operator named or the program remembered. Only a regular
// file is read: a FIFO, a device, a socket or a folder is refused at once
// (opening never blocks), and so is a file larger than maxBytes, before any
// of it is read. error names the path and the reason.
bool readInputFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *error);

// The same from an already open descriptor that may be a pipe (standard input):
// read to its end, refused once it passes maxBytes.
bool readInputStream(int fd, const QString &name, qint64 maxBytes, QByteArray *data, QString *error);
