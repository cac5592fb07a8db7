#pragma once

#include <QByteArray>

class QSerialPort;

// Writes bytes to an open port at once where the line takes them, and leaves the
// rest to the port's own buffer, which sends it when the line is ready again.
// Bytes keep their order: nothing goes straight to the line while the buffer
// still holds bytes of an earlier write.
//
// QSerialPort alone would send every write on a later turn of the event loop,
// after switching its write notifier on and off again; an exchange that waits
// for an acknowledgement after each command pays that for every command.
void writeNow(QSerialPort *port, const QByteArray &bytes);
