#include "EndUseTypes.h"

namespace {
const char *const kKeys[EndUse::kUseCount] = {"toilet",  "shower",     "faucet", "clothesWasher", "dishwasher",
                                              "bathtub", "irrigation", "leak",   "other"};
}

QString EndUse::key(Use use)
{
    return QString::fromLatin1(kKeys[int(use)]);
}
