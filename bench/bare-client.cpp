// The floor for the transfer benchmarks: a bare client that performs the same
// exchanges with the simulator as the tool (same commands, same bytes, one
// command per acknowledgement), with nothing but read, write and poll.
//
//   bare-client upgrade PTY BYTES     reset into management, erase, write, boot
//   bare-client curve PTY POINTS      erase and write a curve record
// Prints the seconds the exchange took.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

int fd = -1;
std::string pending;

void sendText(const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += size_t(n);
    }
}

// The next line that starts with one of the prefixes (other lines are skipped).
std::string awaitLine(const char *prefix1, const char *prefix2 = nullptr)
{
    for (;;) {
        size_t end;
        while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.rfind(prefix1, 0) == 0 || (prefix2 && line.rfind(prefix2, 0) == 0))
                return line;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            fprintf(stderr, "bare-client: no %s\n", prefix1);
            exit(1);
        }
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            pending.append(buffer, size_t(n));
    }
}

std::string hex(const unsigned char *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

void identify()
{
    sendText(std::string("\x03\n*idn?\n"));
    awaitLine("NORDA,");
    sendText("@00\n");
    awaitLine("*COMPAT = ");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return fprintf(stderr, "usage: bare-client upgrade|curve PTY SIZE\n"), 2;
    fd = open(argv[2], O_RDWR | O_NOCTTY);
    if (fd < 0)
        return perror("open"), 1;
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(fd, TCSANOW, &raw);
    const long size = atol(argv[3]);
    identify();

    const auto start = std::chrono::steady_clock::now();
    char command[512];
    if (strcmp(argv[1], "upgrade") == 0) {
        std::string image(size_t((size + 7) / 8 * 8), '\xff');
        for (long i = 0; i < size; ++i)
            image[size_t(i)] = char(i * 7);
        sendText(":system:reset\n");
        awaitLine("*BOOTSTRAP ");
        sendText("\x03");
        awaitLine("*MGMT");
        sendText("*IDN?\n");
        awaitLine("NORDA,");
        sendText("@00\n@02\n");
        awaitLine("*ERASE_OK");
        for (size_t offset = 0; offset < image.size(); offset += 112) {
            const size_t chunk = std::min<size_t>(112, image.size() - offset);
            snprintf(command, sizeof command, "@03 %06zx %s\n", offset,
                     hex(reinterpret_cast<const unsigned char *>(image.data()) + offset, chunk).c_str());
            sendText(command);
            awaitLine("*WRITE_OK");
        }
        sendText("boot\n");
        awaitLine("*APP ");
        sendText("*IDN?\n");
        awaitLine("NORDA,");
    } else {
        std::string record(size_t(24 + 8 * size), '\0');
        sendText(":cal:erase\n");
        awaitLine("*cal-erase-done");
        for (size_t offset = 0; offset < record.size(); offset += 48) {
            const size_t chunk = std::min<size_t>(48, record.size() - offset);
            snprintf(command, sizeof command, ":cal:write %04zx %s\n", offset,
                     hex(reinterpret_cast<const unsigned char *>(record.data()) + offset, chunk).c_str());
            sendText(command);
            awaitLine("*cal-write-done");
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%.3f\n", seconds);
    return 0;
}
