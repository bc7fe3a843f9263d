#pragma once

#include <cstdint>

// Fixed-capacity history: once full, each push drops the oldest entry. Never allocates.
template <typename T, int N> class SampleRing
{
public:
    static constexpr int kCapacity = N;

    void push(const T &value)
    {
        if (m_count == N) {
            m_head = (m_head + 1) % N;
            m_count = N - 1;
        }
        m_data[(m_head + m_count) % N] = value;
        ++m_count;
    }
    void clear() { m_head = m_count = 0; }
    int size() const { return m_count; }
    int head() const { return m_head; }
    // i = 0 is the oldest entry.
    const T &at(int i) const { return m_data[(m_head + i) % N]; }
    const T &newest() const { return at(m_count - 1); }

private:
    T m_data[N] = {};
    int m_head = 0;
    int m_count = 0;
};
