#pragma once

// How the virtual logger reports failure: calls that touch the host (the pty, the ground-truth
// files) return bool with a QString *error out-parameter; the device model itself never fails,
// it answers as the firmware would (error codes in results, or no answer at all).

#include "LineFaults.h"
#include "VirtualLogger.h"
#include "VirtualLoggerConfig.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class InProcessSerialDevice;
class LineTransport;
class QObject;

// Runs one VirtualLogger on its own thread behind a transport: a pseudo-terminal (the host
// opens portName() like a serial port) or an in-process QIODevice. The line between them
// applies the configured faults and baud limit in both directions (10 bits per byte in
// firmware mode, 11 with the bootloader's even parity).
//
// Typical test use:
//     VirtualLoggerConfig config;  config.patchLevel = 4251;
//     VirtualLoggerRunner sim(config);
//     ASSERT_TRUE(sim.startPty());
//     port.setPortName(sim.portName());  ...
//     sim.withDevice([](VirtualLogger &d) { EXPECT_EQ(d.requestCount(Network::C2S_FlashGetState), 1u); });
//     sim.writeGroundTruth(dir);
//
// Every public member may be called from any thread. withDevice() runs its function on the
// calling thread with the device locked (keep it short; never wait for the host inside it).
// The destructor stops the thread promptly.
class VirtualLoggerRunner
{
public:
    explicit VirtualLoggerRunner(const VirtualLoggerConfig &config = {});
    ~VirtualLoggerRunner();
    VirtualLoggerRunner(const VirtualLoggerRunner &) = delete;
    VirtualLoggerRunner &operator=(const VirtualLoggerRunner &) = delete;

    // Creates a pty (and the symlink `linkPath`, if given) and starts the device thread.
    bool startPty(const QString &linkPath = QString(), QString *error = nullptr);
    // Starts the device thread on an in-process line and returns the host end: an open
    // QIODevice living in the calling thread, owned by `parent` (or the caller).
    InProcessSerialDevice *startInProcess(QObject *parent = nullptr);
    // Stops the device thread (idempotent). The device keeps its state for inspection.
    void stop();
    bool isRunning() const { return m_thread.joinable(); }

    // What the host opens: the symlink if one was asked for, else the pty path.
    QString portName() const;
    // The current pty slave path (changes at replug); empty when unplugged or in-process.
    QString ptyPath() const;

    // Pulls the cable: the host's port hangs up, bytes in flight are lost, the device keeps
    // running (it is battery powered). replug() brings a new pty (the symlink follows).
    void unplug();
    bool replug(QString *error = nullptr);
    // Resets the device (as a power cycle): firmware mode, uptime from zero.
    void restartDevice();

    // Changes the line faults from now on.
    void setFaults(const LineFaultConfig &faults);
    LineFaultConfig faults() const;
    // Bytes lost or damaged on the line so far (both directions).
    uint64_t droppedBytes() const;
    uint64_t corruptedBytes() const;
    // Bytes the device's side of the line has carried to the host so far: what a throughput
    // figure divides by the line's nominal rate.
    uint64_t bytesCarriedToHost() const;

    // Runs `f` with the device locked.
    void withDevice(const std::function<void(VirtualLogger &)> &f);
    // Shorthands.
    uint64_t requestCount(uint16_t packetType) const;
    VirtualLogger::Mode mode() const;
    double magnetRevolutions() const;

    // VirtualLogger::writeGroundTruth at the current time.
    bool writeGroundTruth(const QString &dir, QString *error = nullptr) const;

    // Monotonic nanoseconds of the device's clock source.
    static int64_t monotonicNs();

private:
    bool startThread();
    void run();
    void wake();
    void pumpLocked(int64_t now);

    mutable std::mutex m_mutex;
    std::unique_ptr<VirtualLogger> m_device;
    std::unique_ptr<LineTransport> m_transport;
    LineFaults m_toDevice;
    LineFaults m_toHost;
    QByteArray m_unsent;  // due for the host but not yet taken by the transport
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    int m_wakeFd = -1;
};
