#include "ZipReader.h"

#include <QFile>

#include <zip.h>

QMap<QString, QByteArray> readZip(const QString &path)
{
    QMap<QString, QByteArray> entries;
    int error = 0;
    zip_t *zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!zip)
        return entries;
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip, zip_uint64_t(i), 0, &st) < 0)
            continue;
        zip_file_t *file = zip_fopen_index(zip, zip_uint64_t(i), 0);
        if (!file)
            continue;
        QByteArray data(int(st.size), '\0');
        const zip_int64_t got = zip_fread(file, data.data(), st.size);
        zip_fclose(file);
        if (got == zip_int64_t(st.size))
            entries.insert(QString::fromUtf8(st.name), data);
    }
    zip_close(zip);
    return entries;
}
