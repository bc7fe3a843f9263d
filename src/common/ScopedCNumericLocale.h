#pragma once

// While alive, the calling thread formats and parses numbers with the C library in the "C"
// locale, whatever the process locale is; other threads are not affected. For code that
// formats through printf where we cannot change it (libxlsxwriter writes "%.16G").
class ScopedCNumericLocale
{
public:
    ScopedCNumericLocale();
    ~ScopedCNumericLocale();
    ScopedCNumericLocale(const ScopedCNumericLocale &) = delete;
    ScopedCNumericLocale &operator=(const ScopedCNumericLocale &) = delete;

private:
#ifdef _WIN32
    int m_previousMode = 0;
    char m_previous[64] = {};
#else
    void *m_cLocale = nullptr;
    void *m_previous = nullptr;
#endif
};
