#include "CrossThreadFunctor.h"

std::mutex &CrossThreadHandOver::mutex()
{
    static std::mutex handOver;
    return handOver;
}
