#include "Filing.h"

#include "base/Clock.h"
#include "base/Comm.h"
#include "base/Operator.h"
#include "base/StationLog.h"
#include "masters/MasterDefinitions.h"

#include <QFile>
#include <QFileInfo>

Filing::Filing(const Comm::Settings &settings, Operator &op, StationLog &log, const Clock &clock)
    : m_settings(settings)
    , m_operator(op)
    , m_log(log)
    , m_clock(clock)
{ }

QString Filing::receivedPath(const QString &DataName) const
{
    return m_settings.layout().inStation(DataName);
}

QString Filing::sendCopyPath(const QString &DataName, int terminalNumber) const
{
    return m_settings.layout().sendFolder(terminalNumber) + DataName;
}

QString Filing::backupPath(const QString &DataName, int terminalNumber, const QString &stamp) const
{
    const QString folder = m_settings.layout().backupFolder(terminalNumber);
    QString path = folder + stamp + u'_' + DataName;
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = folder + stamp + u'-' + QString::number(n) + u'_' + DataName;
    return path;
}

void Filing::report(const QString &text, const QString &received)
{
    QString message = text;
    if (!received.isEmpty() && QFileInfo::exists(received))
        message += QStringLiteral("\r\n受信したファイルは %1 に残しました").arg(received);
    m_operator.message(message);
}

bool Filing::removeFile(const QString &path, const QString &received)
{
    // A read-only file is not deleted: whoever made it so meant to keep it.
    QFile file(path);
    if (!(file.permissions() & QFileDevice::WriteOwner)) {
        report(QStringLiteral("ファイルを削除できません: %1（読み取り専用です）").arg(path),
               received);
        return false;
    }
    if (!file.remove()) {
        report(QStringLiteral("ファイルを削除できません: %1（%2）").arg(path, file.errorString()),
               received);
        return false;
    }
    return true;
}

bool Filing::DataMove(const QString &DataName, int terminalNumber)
{
    const QString received = receivedPath(DataName);
    const QString sendCopy = sendCopyPath(DataName, terminalNumber);
    const QString stamp = m_clock.now().toString(QStringLiteral("yyyyMMddHHmmss"));
    QString backup = backupPath(DataName, terminalNumber, stamp);

    m_operator.message(received + QStringLiteral("\r\n") + sendCopy + QStringLiteral("\r\n")
                       + backup);

    if (QFileInfo::exists(sendCopy) && !removeFile(sendCopy, received))
        return false;
    QFile source(received);
    if (!source.copy(sendCopy)) {
        report(QStringLiteral("ファイルをコピーできません: %1 → %2（%3）")
                   .arg(received, sendCopy, source.errorString()),
               received);
        return false;
    }
    m_operator.message(QStringLiteral("chk-1"));

    // The name shown may have been taken while the message was open.
    if (QFileInfo::exists(backup))
        backup = backupPath(DataName, terminalNumber, stamp);
    QFile moving(received);
    if (!moving.rename(backup)) {
        report(QStringLiteral("ファイルを移動できません: %1 → %2（%3）")
                   .arg(received, backup, moving.errorString()),
               received);
        return false;
    }
    m_operator.message(QStringLiteral("chk-2"));
    return true;
}

bool Filing::FileDelete(const QString &DataName)
{
    const QString path = receivedPath(DataName);
    if (!QFileInfo::exists(path))
        return true;
    return removeFile(path);
}

QStringList Filing::MasterCsvCopy(int terminalNumber)
{
    const StationLayout layout = m_settings.layout();
    QStringList staged;
    for (const QString &master : Masters::names()) {
        const QString name = StationLayout::exportFileName(master);
        const QString source = layout.exportFile(master, terminalNumber);
        const QString target = layout.inStation(name);
        // Whatever stands under the name was staged for some terminal; it goes
        // first, so that a terminal without this export never gets another's.
        if (QFileInfo::exists(target) && !removeFile(target))
            continue;
        if (!QFileInfo::exists(source))
            continue;
        QFile file(source);
        if (!file.copy(target)) {
            report(QStringLiteral("ファイルをコピーできません: %1 → %2（%3）")
                       .arg(source, target, file.errorString()),
                   QString());
            continue;
        }
        staged.append(name);
    }
    m_log.write(
        QStringLiteral("端末 %1 の送信用マスタ: %2")
            .arg(terminalNumber)
            .arg(staged.isEmpty() ? QStringLiteral("なし") : staged.join(QStringLiteral(", "))));
    return staged;
}
