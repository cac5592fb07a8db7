// The floor the monitor's cost is measured against: the least a logger of the
// same instruments must do, in plain C calls with no framework. It reads each
// simulator's pseudo-terminal with poll(), takes the "*T = <value> K" lines,
// stamps them with the clock, and commits them every half second into SQLite
// with the monitor's pragmas and readings table. No identification, no
// summary, no events, no checks: anything the monitor costs beyond this is
// what it does on top.
//
// Usage: frostgauge-bench-floor-logger STORE TTY...

#include <sqlite3.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t stopping = 0;

long long nowMs(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

struct Port {
    int fd;
    int instrument;
    long long seq = 0;
    std::string line;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s STORE TTY...\n", argv[0]);
        return 2;
    }
    signal(SIGTERM, [](int) { stopping = 1; });
    signal(SIGINT, [](int) { stopping = 1; });
    sqlite3 *db = nullptr;
    if (sqlite3_open(argv[1], &db) != SQLITE_OK
        || sqlite3_exec(db,
                        "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                        "CREATE TABLE IF NOT EXISTS readings(instrument INTEGER NOT NULL, time_ms INTEGER NOT NULL,"
                        " seq INTEGER NOT NULL, kelvin REAL NOT NULL, PRIMARY KEY(instrument, time_ms, seq))"
                        " WITHOUT ROWID;",
                        nullptr, nullptr, nullptr)
               != SQLITE_OK) {
        fprintf(stderr, "%s: %s\n", argv[1], sqlite3_errmsg(db));
        return 1;
    }
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO readings VALUES(?1, ?2, ?3, ?4)", -1, &insert, nullptr);
    std::vector<Port> ports;
    std::vector<pollfd> polls;
    for (int i = 2; i < argc; ++i) {
        const int fd = open(argv[i], O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios raw;
        if (fd < 0 || tcgetattr(fd, &raw) != 0) {
            fprintf(stderr, "%s: %s\n", argv[i], strerror(errno));
            return 1;
        }
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
        ports.push_back({fd, i - 1, 0, {}});
        polls.push_back({fd, POLLIN, 0});
    }
    struct Pending {
        int instrument;
        long long timeMs;
        long long seq;
        double kelvin;
    };
    std::vector<Pending> pending;
    long long nextCommit = nowMs(CLOCK_MONOTONIC) + 500;
    long long stored = 0;
    while (!stopping) {
        const long long wait = nextCommit - nowMs(CLOCK_MONOTONIC);
        if (poll(polls.data(), polls.size(), wait > 0 ? int(wait) : 0) < 0 && errno != EINTR)
            break;
        for (size_t i = 0; i < polls.size(); ++i) {
            if (!(polls[i].revents & POLLIN))
                continue;
            char buffer[4096];
            const ssize_t n = read(polls[i].fd, buffer, sizeof buffer);
            for (ssize_t k = 0; k < n; ++k) {
                const char c = buffer[k];
                if (c != '\n' && c != '\r') {
                    ports[i].line += c;
                    continue;
                }
                if (ports[i].line.compare(0, 5, "*T = ") == 0)
                    pending.push_back({ports[i].instrument, nowMs(CLOCK_REALTIME), ++ports[i].seq,
                                       strtod(ports[i].line.c_str() + 5, nullptr)});
                ports[i].line.clear();
            }
        }
        if (nowMs(CLOCK_MONOTONIC) < nextCommit)
            continue;
        nextCommit += 500;
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (const Pending &reading : pending) {
            sqlite3_bind_int(insert, 1, reading.instrument);
            sqlite3_bind_int64(insert, 2, reading.timeMs);
            sqlite3_bind_int64(insert, 3, reading.seq);
            sqlite3_bind_double(insert, 4, reading.kelvin);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        stored += pending.size();
        pending.clear();
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    fprintf(stderr, "%lld readings stored\n", stored);
    return 0;
}
