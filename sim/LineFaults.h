#pragma once

#include <QByteArray>

#include <cstdint>
#include <deque>
#include <random>

// Fault and rate settings of one serial line. Probabilities are per byte.
struct LineFaultConfig {
    double dropProbability = 0.0;     // the byte never arrives
    double corruptProbability = 0.0;  // one random bit of the byte flips
    double delayProbability = 0.0;    // the line stalls for delayMs before this byte
    int delayMs = 0;
    // Throttle to this baud rate (0: as fast as the transport goes). The byte rate is
    // baud / bitsPerByte, where bitsPerByte is given per push (10 for 8N1, 11 for 8E1).
    uint32_t baudLimit = 0;
    uint32_t seed = 1;

    bool isClean() const
    {
        return dropProbability <= 0.0 && corruptProbability <= 0.0 && delayProbability <= 0.0 && baudLimit == 0;
    }
};

// One direction of a serial line between the virtual logger and the host: bytes pushed in
// come out in order, possibly dropped, corrupted, stalled or paced to a baud rate. A serial
// line never reorders, so a delayed byte holds back every byte behind it.
//
// Not thread-safe; the virtual logger's thread owns it. Times are monotonic nanoseconds.
class LineFaults
{
public:
    explicit LineFaults(const LineFaultConfig &config = {});

    void setConfig(const LineFaultConfig &config);
    const LineFaultConfig &config() const { return m_config; }

    // Queues bytes sent at `nowNs`. bitsPerByte only matters with a baud limit.
    void push(const QByteArray &bytes, int64_t nowNs, int bitsPerByte = 10);
    // Bytes whose arrival time has come, in order.
    QByteArray takeDue(int64_t nowNs);
    // Arrival time of the next queued byte, or -1 when nothing is queued.
    int64_t nextDueNs() const;
    bool isEmpty() const { return m_queue.empty(); }
    // Forgets every queued byte (an unplugged cable loses what was on it).
    void clear();

    uint64_t droppedBytes() const { return m_dropped; }
    uint64_t corruptedBytes() const { return m_corrupted; }
    // Bytes that have come out of the line so far, spoiled or not (lost bytes are not counted).
    uint64_t deliveredBytes() const { return m_delivered; }

private:
    struct Pending {
        int64_t dueNs;
        char byte;
    };
    LineFaultConfig m_config;
    std::mt19937 m_rng;
    std::uniform_real_distribution<double> m_unit{0.0, 1.0};
    std::deque<Pending> m_queue;
    int64_t m_lineFreeNs = 0;  // when the line has finished the last queued byte
    uint64_t m_dropped = 0;
    uint64_t m_corrupted = 0;
    uint64_t m_delivered = 0;
};
