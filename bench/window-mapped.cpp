// Starts a program under the X display of $DISPLAY and reports how long it
// took to map its first top-level window, and its peak resident memory a
// moment later: "MILLISECONDS KIB". The watch on the root window is in place
// before the program starts, so no map is missed; the clock runs from just
// before exec to the MapNotify. The program is then ended with SIGTERM.
//
// Usage: frostgauge-bench-window-mapped SETTLE_MS PROGRAM [ARGUMENTS...]

#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

long peakResidentKib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s SETTLE_MS PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const int settleMs = std::atoi(argv[1]);
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        fprintf(stderr, "cannot reach the X display\n");
        return 1;
    }
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);

    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        fprintf(stderr, "cannot run %s: %s\n", argv[2], strerror(errno));
        _exit(127);
    }
    double mappedMs = -1;
    while (xcb_generic_event_t *event = xcb_wait_for_event(connection)) {
        const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
        free(event);
        if (mapped) {
            mappedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
            break;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    const long kib = peakResidentKib(child);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    xcb_disconnect(connection);
    if (mappedMs < 0)
        return 1;
    printf("%.1f %ld\n", mappedMs, kib);
    return 0;
}
