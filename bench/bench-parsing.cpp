// Reply parsing through the read path with the window's slots connected: bytes
// per second for a realistic stream, and the cost per line for small and large
// reads (a buffer cut from the front line by line would make large reads
// quadratic).

#include "bench-support.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

MainWindow &window()
{
    static MainWindow *instance = [] {
        auto *w = new MainWindow;
        w->show();
        attachDevice(*w);
        return w;
    }();
    return *instance;
}

// Eight readings, a parameter reply and an acknowledgement (while idle) per
// ten lines, as a session with the output on and the odd query looks.
QByteArray realisticStream(int bytes)
{
    QByteArray stream;
    int line = 0;
    while (stream.size() < bytes) {
        switch (line++ % 10) {
        case 8:
            stream += "relay1:temp = 77.500\r\n";
            break;
        case 9:
            stream += "*cal-write-done\r\n";
            break;
        default:
            stream += "*T = " + QByteArray::number(4.2 + (line % 2900) * 0.1, 'f', 3) + " K\r\n";
        }
    }
    return stream;
}

void BM_ReplyStream(benchmark::State &state)
{
    MainWindow &w = window();
    const QByteArray stream = realisticStream(int(state.range(0)));
    const int lines = stream.count('\n');
    for (auto _ : state) {
        w.device->receiveBytes(stream);
        // The read returns to the event loop, which paints what changed.
        QCoreApplication::processEvents();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * stream.size());
    state.counters["lines"] = lines;
    state.counters["ns_per_line"] = benchmark::Counter(double(state.iterations()) * lines,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReplyStream)->Arg(1024)->Arg(1024 * 1024)->Unit(benchmark::kMicrosecond);

// The line framing alone, with no receivers: the floor of the read path.
void BM_FramingOnly(benchmark::State &state)
{
    Device device;
    const QByteArray stream = realisticStream(int(state.range(0)));
    for (auto _ : state)
        device.receiveBytes(stream);
    state.SetBytesProcessed(int64_t(state.iterations()) * stream.size());
}
BENCHMARK(BM_FramingOnly)->Arg(1024)->Arg(1024 * 1024)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    const std::unique_ptr<QTemporaryDir> configHome(prepareBenchEnvironment());
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
