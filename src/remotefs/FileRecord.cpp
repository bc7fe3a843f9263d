#include "FileRecord.h"

#include <cstring>

QString FileRecord::fileName() const
{
    int length = 0;
    while (length < kNameSize && name[length] != '\0')
        ++length;
    return QString::fromUtf8(name, length);
}

FileRecord FileRecord::parse(const uint8_t *src)
{
    FileRecord r;
    std::memcpy(&r.fileId, src + 0, 4);
    std::memcpy(r.name, src + 4, kNameSize);
    std::memcpy(&r.fileType, src + 36, 4);
    r.flags = src[44];
    return r;
}
