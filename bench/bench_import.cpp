// Imports a generated 100,000-line SHOMAS.DAT into a maintenance database that
// already holds those products, so every line deletes one row and inserts one,
// and prints how long that took.
//
//   bench_import [--db URI]
//
// Without --db the maintenance database is an SQLite file in a temporary
// folder; with a PostgreSQL URI it is a new schema on that server, dropped at
// the end.
#include "BenchSchema.h"
#include "base/Clock.h"
#include "base/Comm.h"
#include "base/Cp932.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterDefinitions.h"
#include "masters/MasterImport.h"
#include "masters/MasterSchema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int Products = 100000;

QString productLine(int i)
{
    const QString code = QString::number(4900000000000LL + i);
    return QStringLiteral("1") + code + QStringLiteral("J%1").arg(i, 12, 10, QChar(u'0'))
        + QStringLiteral("商品，名前%1").arg(i, 6, 10, QChar(u'0')).leftJustified(20, QChar(u' '))
        + QStringLiteral("ｼｮｳﾋﾝ%1").arg(i, 6).leftJustified(14, QChar(u' '))
        + QStringLiteral("0012 12000123"
                         "1"
                         "000012345"
                         "0000198"
                         "121"
                         "20240101"
                         "008"
                         "2"
                         "20241001"
                         "010"
                         "20240301"
                         "20240331"
                         "000010000"
                         "0000150"
                         "20240401"
                         "20240430"
                         "20240501"
                         "20240531");
}

bool writeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QString chunk;
    for (int i = 0; i < Products; ++i) {
        chunk += productLine(i) + QStringLiteral("\r\n");
        if (chunk.size() > (1 << 20)) {
            file.write(Cp932::encode(chunk));
            chunk.clear();
        }
    }
    file.write(Cp932::encode(chunk));
    return file.error() == QFileDevice::NoError;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString folder = dir.path() + u'/';
    const QStringList arguments = app.arguments();
    const qsizetype dbAt = arguments.indexOf(QStringLiteral("--db"));
    QString server = dbAt > 0 ? arguments.value(dbAt + 1) : QString();
    if (dbAt > 0 && !Comm::isServerUri(server)) {
        std::fprintf(stderr, "bench_import: --db takes a PostgreSQL URI\n");
        return 2;
    }
    if (!server.isEmpty())
        server = withOwnSchema(server, QStringLiteral("bench_import"));
    const QString db = server.isEmpty() ? folder + QStringLiteral("MasterConv.db") : server;
    const Masters::Definition &product = *Masters::find(QStringLiteral("SHOMAS"));
    if (productLine(0).size() != 181 || !writeFile(folder + product.importFileName())) {
        std::fprintf(stderr, "cannot write the product file\n");
        return 1;
    }

    if (!makeDatabase(db, MasterSchema::createMaintenanceTables))
        return 1;
    SystemClock clock;
    MasterImport import(db, folder, clock);
    if (!import.run(product)) { // the products the timed import replaces
        std::fprintf(stderr, "%s\n", qPrintable(import.error()));
        if (!server.isEmpty())
            dropSchema(server);
        return 1;
    }
    QElapsedTimer timer;
    timer.start();
    const bool ok = import.run(product);
    const qint64 ms = timer.elapsed();
    if (!server.isEmpty())
        dropSchema(server);
    if (!ok) {
        std::fprintf(stderr, "%s\n", qPrintable(import.error()));
        return 1;
    }
    std::printf("import SHOMAS.DAT on %s, %d lines over %d held products: %lld ms "
                "(target < 2000 ms)\n",
                server.isEmpty() ? "SQLite" : "PostgreSQL",
                Products,
                Products,
                static_cast<long long>(ms));
    std::printf("%s\n", qPrintable(MasterImport::summary(product, import.counts())));
    return 0;
}
