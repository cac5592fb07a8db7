#pragma once

// One writer per store: an advisory lock (flock) on a file beside it,
// "STORE.lock", held for the writer's life, with the holder's process id in
// it so that a second writer can say who has it. Readers never look at it.
// The lock goes with the process, so a killed monitor leaves nothing held.
// It is the file's, whatever path leads there: beside the file a symbolic
// link names, and a store with more than one hard link is not written.

#include <QString>

class WriterLock
{
public:
    WriterLock() = default;
    ~WriterLock();
    WriterLock(const WriterLock &) = delete;
    WriterLock &operator=(const WriterLock &) = delete;

    // False with error set when another process holds it or the file cannot be made.
    bool acquire(const QString &storePath, QString *error);
    void release();

private:
    int m_fd = -1;
};
