// The serial port device against a plain blocking loop on the same pseudo-terminal, in the
// same run: throughput both ways, 16-byte ping-pong latency, and the CPU an idle open port
// costs. The figures that matter are the ratios printed at the end.
#include "serial/AbstractSerialPort.h"
#include "serial/SerialSupport.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kTransferBytes = 4 * 1024 * 1024;
constexpr int kPingBytes = 16;

std::map<std::string, double> g_figures;

// A pty whose master is driven by plain system calls.
struct Pty {
    int master = -1;
    std::string slave;

    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            std::abort();
        termios tio{};
        ::tcgetattr(master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
        slave = ::ptsname(master);
    }
    ~Pty() { ::close(master); }
};

int openRawSlave(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

bool readFully(int fd, char *buffer, int count)
{
    int done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, buffer + done, size_t(count - done));
        if (n > 0)
            done += int(n);
        else if (n == 0 || errno != EINTR)
            return false;
    }
    return true;
}

bool writeFully(int fd, const char *data, int count)
{
    int done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, size_t(count - done));
        if (n > 0)
            done += int(n);
        else if (n < 0 && errno != EINTR)
            return false;
    }
    return true;
}

// Drains `count` bytes from the master in a thread of its own.
std::thread drain(int fd, int count)
{
    return std::thread([fd, count] {
        std::vector<char> buffer(65536);
        int left = count;
        while (left > 0) {
            const ssize_t n = ::read(fd, buffer.data(), size_t(std::min<int>(left, int(buffer.size()))));
            if (n <= 0 && errno != EINTR)
                return;
            if (n > 0)
                left -= int(n);
        }
    });
}

// Echoes fixed-size messages on the master until told to stop (by a zero-length message).
std::thread echo(int fd, std::atomic<bool> &stop)
{
    return std::thread([fd, &stop] {
        char message[kPingBytes];
        while (!stop.load()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            if (!readFully(fd, message, kPingBytes) || !writeFully(fd, message, kPingBytes))
                return;
        }
    });
}

// Feeds the master in blocks, never more than kWindow bytes ahead of what the consumer has
// taken: the port drops what does not fit in its 1 MiB buffer, and a loaded machine may leave
// the consuming thread unscheduled long enough for a free-running writer to get that far.
constexpr int kBlock = 64 * 1024;
constexpr int kWindow = 512 * 1024;

std::thread feed(int fd, const std::vector<char> &data, const std::atomic<int> &consumed)
{
    return std::thread([fd, &data, &consumed] {
        int sent = 0;
        const int total = int(data.size());
        while (sent < total) {
            while (sent - consumed.load() > kWindow)
                std::this_thread::yield();
            const int n = std::min(kBlock, total - sent);
            if (!writeFully(fd, data.data() + sent, n))
                return;
            sent += n;
        }
    });
}

void receiveAll(AbstractSerialPort &port, int count, std::atomic<int> *consumed = nullptr)
{
    std::vector<char> buffer(size_t(AbstractSerialPort::kReceiveBufferSize));
    int got = 0;
    QEventLoop loop;
    auto take = [&] {
        for (;;) {
            const qint64 n = port.read(buffer.data(), qint64(buffer.size()));
            if (n <= 0)
                break;
            got += int(n);
        }
        if (consumed)
            consumed->store(got);
        if (got >= count)
            loop.quit();
    };
    QObject::connect(&port, &QIODevice::readyRead, &loop, take);
    take();
    if (got < count)
        loop.exec();
}

void BM_WritePlainLoop(benchmark::State &state)
{
    Pty pty;
    const int fd = openRawSlave(pty.slave);
    std::vector<char> data(kTransferBytes, 'x');
    for (auto _ : state) {
        std::thread reader = drain(pty.master, kTransferBytes);
        writeFully(fd, data.data(), kTransferBytes);
        reader.join();
    }
    ::close(fd);
    state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

void BM_WriteSerialPort(benchmark::State &state)
{
    Pty pty;
    AbstractSerialPort port(QString::fromStdString(pty.slave));
    if (!port.open(QIODevice::ReadWrite))
        std::abort();
    const QByteArray data(kTransferBytes, 'x');
    for (auto _ : state) {
        std::thread reader = drain(pty.master, kTransferBytes);
        port.write(data);
        reader.join();
    }
    state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

// The plain loop reading `chunk` bytes per call: 64 KiB (as much as the kernel gives), and the
// 2048 bytes the port's reader asks for per call. On a pty the line discipline hands over
// at most its 4 KiB buffer per wake-up, so the read size alone sets much of the rate.
void readPlainLoop(benchmark::State &state, size_t chunk)
{
    Pty pty;
    const int fd = openRawSlave(pty.slave);
    std::vector<char> data(kTransferBytes, 'y');
    std::vector<char> buffer(chunk);
    for (auto _ : state) {
        std::atomic<int> consumed{0};
        std::thread writer = feed(pty.master, data, consumed);
        int got = 0;
        while (got < kTransferBytes) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            got += int(n);
            consumed.store(got);
        }
        writer.join();
    }
    ::close(fd);
    state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

void BM_ReadPlainLoop(benchmark::State &state)
{
    readPlainLoop(state, 65536);
}

void BM_ReadPlainLoopPortChunk(benchmark::State &state)
{
    readPlainLoop(state, size_t(AbstractSerialPort::kReadChunkSize));
}

void BM_ReadSerialPort(benchmark::State &state)
{
    Pty pty;
    AbstractSerialPort port(QString::fromStdString(pty.slave));
    if (!port.open(QIODevice::ReadWrite))
        std::abort();
    std::vector<char> data(kTransferBytes, 'y');
    for (auto _ : state) {
        std::atomic<int> consumed{0};
        std::thread writer = feed(pty.master, data, consumed);
        receiveAll(port, kTransferBytes, &consumed);
        writer.join();
    }
    state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

// Per-round-trip times: the median is what a loaded machine (other processes taking the
// cores for whole time slices now and then) leaves least disturbed.
class RoundTrips
{
public:
    void begin() { m_start = std::chrono::steady_clock::now(); }
    void end()
    {
        m_micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - m_start).count());
    }
    void report(benchmark::State &state)
    {
        if (m_micros.empty())
            return;
        std::sort(m_micros.begin(), m_micros.end());
        state.counters["median_us"] = m_micros[m_micros.size() / 2];
        state.counters["p90_us"] = m_micros[m_micros.size() * 9 / 10];
    }

private:
    std::chrono::steady_clock::time_point m_start;
    std::vector<double> m_micros;
};

void BM_PingPongPlainLoop(benchmark::State &state)
{
    Pty pty;
    const int fd = openRawSlave(pty.slave);
    std::atomic<bool> stop{false};
    std::thread echoer = echo(pty.master, stop);
    char message[kPingBytes] = "0123456789abcde";
    char reply[kPingBytes];
    RoundTrips trips;
    for (auto _ : state) {
        trips.begin();
        writeFully(fd, message, kPingBytes);
        readFully(fd, reply, kPingBytes);
        trips.end();
    }
    trips.report(state);
    stop.store(true);
    echoer.join();
    ::close(fd);
}

void BM_PingPongSerialPort(benchmark::State &state)
{
    Pty pty;
    AbstractSerialPort port(QString::fromStdString(pty.slave));
    if (!port.open(QIODevice::ReadWrite))
        std::abort();
    std::atomic<bool> stop{false};
    std::thread echoer = echo(pty.master, stop);
    const QByteArray message("0123456789abcdef");
    // One loop and one connection for the whole run, as a protocol client would have.
    QEventLoop loop;
    char reply[kPingBytes];
    qint64 got = 0;
    QObject::connect(&port, &QIODevice::readyRead, &loop, [&] {
        for (qint64 n; got < kPingBytes && (n = port.read(reply + got, kPingBytes - got)) > 0;)
            got += n;
        if (got >= kPingBytes)
            loop.quit();
    });
    RoundTrips trips;
    for (auto _ : state) {
        trips.begin();
        got = 0;
        port.write(message);
        loop.exec();
        trips.end();
    }
    trips.report(state);
    stop.store(true);
    echoer.join();
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void idleFor(benchmark::State &state, bool withPort)
{
    const double seconds = double(state.range(0));
    Pty pty;
    AbstractSerialPort port(QString::fromStdString(pty.slave));
    if (withPort && !port.open(QIODevice::ReadWrite))
        std::abort();
    for (auto _ : state) {
        const double before = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = processCpuSeconds() - before;
        state.SetIterationTime(wall);
        state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
    }
}

void BM_IdleNoPort(benchmark::State &state)
{
    idleFor(state, false);
}

void BM_IdleOpenPort(benchmark::State &state)
{
    idleFor(state, true);
}

BENCHMARK(BM_WritePlainLoop)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_WriteSerialPort)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_ReadPlainLoop)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_ReadPlainLoopPortChunk)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_ReadSerialPort)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_PingPongPlainLoop)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_PingPongSerialPort)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_IdleNoPort)->Arg(1)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleOpenPort)->Arg(5)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Keeps the console output and remembers each run's figures for the ratios.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            // With repetitions, the median aggregate (reported last) replaces single runs.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            const std::string name = run.run_name.function_name;
            for (const char *counter : {"bytes_per_second", "median_us", "cpu_percent_of_core"}) {
                auto it = run.counters.find(counter);
                if (it != run.counters.end())
                    g_figures[name + ":" + counter] = it->second;
            }
        }
    }
};

double figure(const std::string &name, const std::string &counter)
{
    auto it = g_figures.find(name + ":" + counter);
    return it == g_figures.end() ? 0.0 : it->second;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    initSerialSupport();
    // Other processes share the machine: by default repeat and interleave the runs so that a
    // busy moment does not fall on one side of a ratio only, and compare medians.
    std::vector<char *> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    const bool chosen = std::any_of(args.begin() + 1, args.end(), [](const char *arg) {
        return std::strncmp(arg, "--benchmark_repetitions", 23) == 0;
    });
    if (!chosen) {
        args.push_back(repetitions.data());
        args.push_back(interleave.data());
    }
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const double writePlain = figure("BM_WritePlainLoop", "bytes_per_second");
    const double writePort = figure("BM_WriteSerialPort", "bytes_per_second");
    const double readPlain = figure("BM_ReadPlainLoop", "bytes_per_second");
    const double readPort = figure("BM_ReadSerialPort", "bytes_per_second");
    const double readPlainChunk = figure("BM_ReadPlainLoopPortChunk", "bytes_per_second");
    const double pingPlain = figure("BM_PingPongPlainLoop", "median_us");
    const double pingPort = figure("BM_PingPongSerialPort", "median_us");
    std::printf("\nthroughput port->line: %.1f MB/s vs plain %.1f MB/s, ratio %.2f (target >= 0.8)\n", writePort / 1e6,
                writePlain / 1e6, writePlain > 0 ? writePort / writePlain : 0.0);
    std::printf("throughput line->port: %.1f MB/s vs plain %.1f MB/s, ratio %.2f (target >= 0.8)\n", readPort / 1e6,
                readPlain / 1e6, readPlain > 0 ? readPort / readPlain : 0.0);
    std::printf("throughput line->port: plain loop with the port's %d-byte reads %.1f MB/s, ratio %.2f\n",
                AbstractSerialPort::kReadChunkSize, readPlainChunk / 1e6,
                readPlainChunk > 0 ? readPort / readPlainChunk : 0.0);
    std::printf("16-byte ping-pong (median): %.1f us vs plain %.1f us, ratio %.2f (target <= 1.5)\n", pingPort,
                pingPlain, pingPlain > 0 ? pingPort / pingPlain : 0.0);
    std::printf("idle CPU: open port %.3f %% of a core, no port %.3f %% (target < 1 %%)\n",
                figure("BM_IdleOpenPort", "cpu_percent_of_core"), figure("BM_IdleNoPort", "cpu_percent_of_core"));

    benchmark::Shutdown();
    shutdownSerialSupport();
    return 0;
}
