#pragma once

#include <QByteArray>

#include <cstdint>
#include <functional>

// The logger's receive side: finds complete, checksum-valid client requests in the byte
// stream from the line. A request starts with 'X'; its type fixes its length. Anything else
// (noise, a damaged request, a request type this firmware does not know) is skipped one byte
// at a time so that a real request right behind it is still found.
class DeviceRequestFramer
{
public:
    // Called with each complete request (the whole packet, header included).
    using RequestHandler = std::function<void(const QByteArray &packet)>;

    explicit DeviceRequestFramer(RequestHandler handler = {});
    void setHandler(RequestHandler handler) { m_handler = std::move(handler); }

    void feed(const QByteArray &bytes);
    // Drops a partial request (after a reset of the device's UART).
    void reset();
    // True while the start of a request waits for the rest of it.
    bool waiting() const { return !m_buffer.isEmpty(); }
    // The line went quiet before the request in hand was complete: a request is sent in one
    // go, so its start was a spoiled byte. It is skipped like any damage, and the requests
    // behind it are found now rather than after as many bytes as the spoiled type promised.
    void lineIdle();

    uint64_t badBytes() const { return m_badBytes; }
    uint64_t requestsFound() const { return m_requests; }

private:
    RequestHandler m_handler;
    QByteArray m_buffer;
    uint64_t m_badBytes = 0;
    uint64_t m_requests = 0;
};
