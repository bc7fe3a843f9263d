#include "ScopedCNumericLocale.h"

#include <clocale>
#include <cstring>

#ifdef _WIN32
#include <locale.h>

ScopedCNumericLocale::ScopedCNumericLocale()
{
    m_previousMode = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    if (const char *current = std::setlocale(LC_NUMERIC, nullptr))
        std::strncpy(m_previous, current, sizeof m_previous - 1);
    std::setlocale(LC_NUMERIC, "C");
}

ScopedCNumericLocale::~ScopedCNumericLocale()
{
    if (m_previous[0])
        std::setlocale(LC_NUMERIC, m_previous);
    if (m_previousMode != -1)
        _configthreadlocale(m_previousMode);
}
#else
#include <locale.h>

ScopedCNumericLocale::ScopedCNumericLocale()
{
    // Only the numeric category changes; text encoding and the rest stay as they are.
    locale_t base = duplocale(uselocale(locale_t(nullptr)));
    locale_t c = base ? newlocale(LC_NUMERIC_MASK, "C", base) : locale_t(nullptr);
    if (!c) {
        if (base)
            freelocale(base);
        return;  // out of memory: the process locale applies, which start-up pinned to "C"
    }
    m_cLocale = c;
    m_previous = uselocale(c);
}

ScopedCNumericLocale::~ScopedCNumericLocale()
{
    if (!m_cLocale)
        return;
    uselocale(static_cast<locale_t>(m_previous));
    freelocale(static_cast<locale_t>(m_cLocale));
}
#endif
