#include "EndUseTypes.h"

namespace {
const char *const kKeys[EndUse::kUseCount] = {"toilet",     "shower",     "faucet", "clothesWasher", "dishwasher",
                                              "bathtub",    "irrigation", "leak",   "other"};
}

QString EndUse::key(Use use)
{
    return QString::fromLatin1(kKeys[int(use)]);
}

bool EndUse::fromKey(const QString &key, Use *use)
{
    for (int i = 0; i < kUseCount; ++i) {
        if (key == QLatin1String(kKeys[i])) {
            *use = Use(i);
            return true;
        }
    }
    return false;
}
