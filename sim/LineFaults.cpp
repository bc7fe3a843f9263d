#include "LineFaults.h"

#include <algorithm>

LineFaults::LineFaults(const LineFaultConfig &config) : m_config(config), m_rng(config.seed) {}

void LineFaults::setConfig(const LineFaultConfig &config)
{
    const bool reseed = config.seed != m_config.seed;
    m_config = config;
    if (reseed)
        m_rng.seed(config.seed);
}

void LineFaults::push(const QByteArray &bytes, int64_t nowNs, int bitsPerByte)
{
    if (bytes.isEmpty())
        return;
    const bool clean = m_config.isClean();
    if (clean && m_queue.empty()) {
        // Fast path: nothing to pace or spoil, bytes arrive at once.
        for (char c : bytes)
            m_queue.push_back({nowNs, c});
        return;
    }
    const int64_t byteNs =
        m_config.baudLimit > 0 ? int64_t(1e9 * std::max(bitsPerByte, 1) / double(m_config.baudLimit)) : 0;
    int64_t t = std::max(nowNs, m_lineFreeNs);
    for (char c : bytes) {
        if (m_config.delayProbability > 0.0 && m_unit(m_rng) < m_config.delayProbability)
            t += int64_t(m_config.delayMs) * 1000000;
        t += byteNs;
        // The byte still occupies the line even when it is lost or spoiled on the way.
        if (m_config.dropProbability > 0.0 && m_unit(m_rng) < m_config.dropProbability) {
            ++m_dropped;
            continue;
        }
        if (m_config.corruptProbability > 0.0 && m_unit(m_rng) < m_config.corruptProbability) {
            c = char(uint8_t(c) ^ uint8_t(1u << (m_rng() % 8)));
            ++m_corrupted;
        }
        m_queue.push_back({t, c});
    }
    m_lineFreeNs = t;
}

QByteArray LineFaults::takeDue(int64_t nowNs)
{
    QByteArray out;
    while (!m_queue.empty() && m_queue.front().dueNs <= nowNs) {
        out.append(m_queue.front().byte);
        m_queue.pop_front();
    }
    m_delivered += uint64_t(out.size());
    return out;
}

int64_t LineFaults::nextDueNs() const
{
    return m_queue.empty() ? -1 : m_queue.front().dueNs;
}

void LineFaults::clear()
{
    m_queue.clear();
    m_lineFreeNs = 0;
}
