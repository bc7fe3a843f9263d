#include "library/ArchiveAddress.h"

#include <gtest/gtest.h>

namespace {

struct AddressCase {
    const char *text;
    const char *user;
    const char *host;
    int port;
    const char *database;
    const char *errorPart;  // empty: valid
};

TEST(ArchiveAddress, ParsesLibpqAddressesAndRefusesPasswords)
{
    const AddressCase cases[] = {
        {"postgresql://archive.example.org/fleet", "", "archive.example.org", -1, "fleet", ""},
        {"postgres://tech@10.0.0.5:6543/fleet", "tech", "10.0.0.5", 6543, "fleet", ""},
        {"postgresql://tech@[fe80::1]:5432/fleet", "tech", "fe80::1", 5432, "fleet", ""},
        {"postgresql://x@localhost:5433/tw?host=/tmp/pg%20dir", "x", "/tmp/pg dir", 5433, "tw", ""},
        {"postgresql://postgres@localhost:54329/tw?host=/tmp/tw-pg/7", "postgres", "/tmp/tw-pg/7", 54329, "tw", ""},
        {"postgresql:///tw?host=/run/pg&port=7", "", "/run/pg", 7, "tw", ""},
        {"postgresql://t%C3%A9ch@h/d%2Db",
         "t\xc3\xa9"
         "ch",
         "h", -1, "d-b", ""},
        {"  postgresql://h/db  ", "", "h", -1, "db", ""},
        {"postgresql://tech:s3cret@h/db", "", "", 0, "", "~/.pgpass"},
        {"postgresql://tech:@h/db", "", "", 0, "", "PGPASSFILE"},
        {"postgresql://h/db?password=s3cret", "", "", 0, "", "~/.pgpass"},
        {"postgresql://h/db?passfile=/x", "", "", 0, "", "~/.pgpass"},
        {"mysql://h/db", "", "", 0, "", "postgresql://"},
        {"/var/lib/tw/library.sqlite", "", "", 0, "", "postgresql://"},
        {"postgresql://h", "", "", 0, "", "no database"},
        {"postgresql://h/", "", "", 0, "", "no database"},
        {"postgresql://h:0/db", "", "", 0, "", "port"},
        {"postgresql://h:65536/db", "", "", 0, "", "port"},
        {"postgresql://h:54x/db", "", "", 0, "", "port"},
        {"postgresql://@h/db", "", "", 0, "", "user name"},
        {"postgresql://[fe80::1/db", "", "", 0, "", "'['"},
        {"postgresql://h/a/b", "", "", 0, "", "'/'"},
        {"postgresql://h/db?sslmode=require%20host%3Devil", "", "", 0, "", "sslmode"},
        {"postgresql://h/db?options=-csearch_path", "", "", 0, "", "unknown parameter: options"},
    };
    for (const AddressCase &c : cases) {
        SCOPED_TRACE(c.text);
        const ArchiveAddress a = ArchiveAddress::parse(QString::fromUtf8(c.text));
        if (*c.errorPart) {
            EXPECT_FALSE(a.isValid());
            EXPECT_TRUE(a.error().contains(QLatin1String(c.errorPart))) << a.error().toStdString();
            EXPECT_FALSE(a.error().contains(QLatin1String("s3cret")));
            continue;
        }
        ASSERT_TRUE(a.isValid()) << a.error().toStdString();
        EXPECT_EQ(a.userName(), QString::fromUtf8(c.user));
        EXPECT_EQ(a.host(), QString::fromUtf8(c.host));
        EXPECT_EQ(a.port(), c.port);
        EXPECT_EQ(a.database(), QString::fromUtf8(c.database));
        // What is shown reads back as the same address.
        const ArchiveAddress again = ArchiveAddress::parse(a.displayText());
        EXPECT_EQ(again.host(), a.host());
        EXPECT_EQ(again.port(), a.port());
        EXPECT_EQ(again.database(), a.database());
        EXPECT_EQ(again.userName(), a.userName());
    }
    // An unreachable server turns into an offline save within seconds, unless told otherwise.
    EXPECT_EQ(ArchiveAddress::parse("postgresql://h/db").connectOptions(), QStringLiteral("connect_timeout=10"));
    EXPECT_EQ(ArchiveAddress::parse("postgresql://h/db?sslmode=require&connect_timeout=3").connectOptions(),
              QStringLiteral("sslmode=require;connect_timeout=3"));
}

TEST(ArchiveAddress, OptionThenVariableThenSetting)
{
    qputenv("TW_ARCHIVE", "postgresql://env/db");
    EXPECT_EQ(ArchiveAddress::configured("postgresql://opt/db", "postgresql://set/db"), "postgresql://opt/db");
    EXPECT_EQ(ArchiveAddress::configured(" ", "postgresql://set/db"), "postgresql://env/db");
    qunsetenv("TW_ARCHIVE");
    EXPECT_EQ(ArchiveAddress::configured(QString(), "postgresql://set/db"), "postgresql://set/db");
    EXPECT_EQ(ArchiveAddress::configured(QString(), QString()), QString());
}

}  // namespace
