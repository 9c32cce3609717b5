#include "StationAccount.h"

#include "base/SafeFile.h"

#include <QFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StationAccount {

namespace {

QString accountName(uid_t uid)
{
    const struct passwd *entry = getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

QString runAs(const QString &account, const QString &command)
{
    return QStringLiteral("run it as %1, for instance: runuser -u %1 -- tarvinex %2")
        .arg(account, command);
}

} // namespace

bool actFor(const QString &stationDir, const QString &command, QString *problem)
{
    const QByteArray dir = QFile::encodeName(stationDir);
    struct stat status;
    if (::stat(dir.constData(), &status) != 0)
        return true;
    const QString owner = accountName(status.st_uid);
    if (geteuid() == 0 && status.st_uid != 0) {
        const struct passwd *entry = getpwuid(status.st_uid);
        // Groups first: once the user ID is given up, they cannot be changed.
        const bool became = entry && ::initgroups(entry->pw_name, entry->pw_gid) == 0
            && ::setgid(entry->pw_gid) == 0 && ::setuid(entry->pw_uid) == 0;
        if (!became) {
            *problem = QStringLiteral("the station folder %1 belongs to %2, and root could not "
                                      "become that account (%3): %4")
                           .arg(stationDir, owner, SafeFile::systemError(),
                                runAs(owner, command));
            return false;
        }
    }
    if (::access(dir.constData(), W_OK | X_OK) != 0) {
        *problem = QStringLiteral("this account (%1) cannot write the station folder %2, which "
                                  "belongs to %3: %4")
                       .arg(accountName(geteuid()), stationDir, owner, runAs(owner, command));
        return false;
    }
    return true;
}

bool actForCommand(const QCommandLineParser &parser,
                   Cli::Process process,
                   const QStringList &commandLine)
{
    const Cli::StationChoice station
        = Cli::chooseStation(parser.value(Cli::stationDirOption()), process);
    QString problem;
    if (actFor(station.dir, commandLine.join(u' '), &problem))
        return true;
    printLine(stderr, QStringLiteral("tarvinex: ") + problem);
    return false;
}

} // namespace StationAccount
