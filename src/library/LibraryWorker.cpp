#include "LibraryWorker.h"

LibraryWorker::LibraryWorker(QObject *parent) : QObject(parent), m_context(new QObject)
{
    m_thread.setObjectName(QStringLiteral("library"));
    m_context->moveToThread(&m_thread);
    m_thread.start();
}

LibraryWorker::~LibraryWorker()
{
    // Waits for every job already posted; the store closes on its own thread, and the context
    // goes when the thread ends.
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            delete m_store;
            m_store = nullptr;
            m_context->deleteLater();
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void LibraryWorker::post(const QString &location, Job job)
{
    QMetaObject::invokeMethod(m_context, [this, location, job = std::move(job)] {
        // A library that could not be opened (an archive offline, a connection lost) is tried
        // again by the next job.
        if (!m_store || m_openedAt != location || !m_store->isOpen()) {
            delete m_store;
            m_store = new LibraryStore;
            m_openedAt = location;
            m_openError.clear();
            if (!m_store->open(location, &m_openError) && m_openError.isEmpty())
                m_openError = QStringLiteral("cannot open the library %1").arg(location);
        }
        job(*m_store, m_store->isOpen(), m_openError);
    });
}
