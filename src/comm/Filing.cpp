#include "Filing.h"

#include "base/Clock.h"
#include "base/Comm.h"
#include "base/Operator.h"
#include "base/SafeFile.h"
#include "base/StationLog.h"
#include "masters/MasterDefinitions.h"

#include <QDir>
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
    return m_settings.layout().inTransfer(DataName);
}

QString Filing::sendCopyPath(const QString &DataName, int terminalNumber) const
{
    return StationLayout::join(m_settings.layout().sendFolder(terminalNumber), DataName);
}

QString Filing::backupPath(const QString &DataName, int terminalNumber, const QString &stamp) const
{
    return stampedPath(m_settings.layout().backupFolder(terminalNumber), DataName, stamp);
}

QString Filing::stampedPath(const QString &folder, const QString &DataName, const QString &stamp)
{
    QString path = StationLayout::join(folder, stamp + u'_' + DataName);
    for (int n = 2; SafeFile::at(path).exists(); ++n)
        path = StationLayout::join(folder, stamp + u'-' + QString::number(n) + u'_' + DataName);
    return path;
}

QString Filing::keep(const QString &DataName, int terminalNumber)
{
    const QString received = receivedPath(DataName);
    if (!QFileInfo::exists(received))
        return QString();
    const QString folder = m_settings.layout().unfiledFolder();
    const QString stem = m_clock.now().toString(QStringLiteral("yyyyMMddHHmmss")) + u'_'
        + Comm::terminalId(terminalNumber) + u'_';
    QString kept = StationLayout::join(folder, stem + DataName);
    for (int n = 2; QFileInfo::exists(kept); ++n)
        kept = StationLayout::join(folder, stem + QString::number(n) + u'_' + DataName);
    // Left under its own name the file would be replaced by the next upload
    // of that name, from any terminal.
    if (!QDir().mkpath(folder) || !QFile::rename(received, kept))
        return received;
    return kept;
}

bool Filing::failed(const QString &text,
                    const QString &cause,
                    const QString &DataName,
                    int terminalNumber,
                    QString *failure)
{
    const QString kept = keep(DataName, terminalNumber);
    QString message = text;
    if (!kept.isEmpty())
        message += QStringLiteral("\r\n受信したファイルは %1 に残しました").arg(kept);
    m_operator.message(message);
    if (failure)
        *failure = kept.isEmpty()
            ? QStringLiteral("the station could not file %1 (%2)").arg(DataName, cause)
            : QStringLiteral("the station could not file %1 (%2); it keeps the file as %3")
                  .arg(DataName, cause, QFileInfo(kept).fileName());
    return false;
}

QString Filing::cannotCopy(const QString &source, const QString &target, const QString &why)
{
    return QStringLiteral("ファイルをコピーできません: %1 → %2（%3）").arg(source, target, why);
}

bool Filing::remove(const QString &path, QString *why)
{
    // A read-only file is not deleted: whoever made it so meant to keep it.
    if (readOnly(path)) {
        *why = QStringLiteral("ファイルを削除できません: %1（読み取り専用です）").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.remove()) {
        *why = QStringLiteral("ファイルを削除できません: %1（%2）").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool Filing::readOnly(const QString &path)
{
    const SafeFile::Entry entry = SafeFile::at(path);
    return entry.kind == SafeFile::Entry::Kind::File && !entry.ownerWritable;
}

bool Filing::place(const QString &source, const QString &target, QString *why)
{
    bool replacedLink = false;
    if (!SafeFile::copy(source, target, why, &replacedLink))
        return false;
    if (replacedLink)
        m_log.write(SafeFile::linkReplaced(target));
    return true;
}

bool Filing::DataMove(const QString &DataName, int terminalNumber, QString *failure)
{
    const QString received = receivedPath(DataName);
    const QString sendCopy = sendCopyPath(DataName, terminalNumber);
    const QString stamp = m_clock.now().toString(QStringLiteral("yyyyMMddHHmmss"));
    QString backup = backupPath(DataName, terminalNumber, stamp);

    m_operator.notice(
        QString(), received + QStringLiteral("\r\n") + sendCopy + QStringLiteral("\r\n") + backup);

    // The new copy replaces the old in one step: the host finds one or the
    // other, and may take the old one away meanwhile.
    if (readOnly(sendCopy))
        return failed(
            QStringLiteral("ファイルを置き換えられません: %1（読み取り専用です）").arg(sendCopy),
            QStringLiteral("the send copy is read-only"),
            DataName,
            terminalNumber,
            failure);
    QString why;
    if (!place(received, sendCopy, &why))
        return failed(cannotCopy(received, sendCopy, why), why, DataName, terminalNumber, failure);
    m_operator.notice(QString(), QStringLiteral("chk-1"));

    // Another process may have taken the name since it was chosen.
    if (SafeFile::at(backup).exists())
        backup = backupPath(DataName, terminalNumber, stamp);
    if (!SafeFile::moveNew(received, backup, &why)) {
        return failed(
            QStringLiteral("ファイルを移動できません: %1 → %2（%3）").arg(received, backup, why),
            why,
            DataName,
            terminalNumber,
            failure);
    }
    m_operator.notice(QString(), QStringLiteral("chk-2"));
    return true;
}

bool Filing::FileDelete(const QString &DataName, int terminalNumber, QString *keptAs)
{
    const QString received = receivedPath(DataName);
    if (!SafeFile::at(received).exists())
        return true;
    const QString folder = m_settings.layout().keptFolder(terminalNumber);
    const QString stamp = m_clock.now().toString(QStringLiteral("yyyyMMddHHmmss"));
    QString kept = stampedPath(folder, DataName, stamp);
    QString why;
    if (!QDir().mkpath(folder) || !SafeFile::moveNew(received, kept, &why)) {
        m_operator.message(QStringLiteral("ファイルを移動できません: %1 → %2（%3）")
                               .arg(received, kept, why.isEmpty() ? folder : why));
        return false;
    }
    m_log.write(QStringLiteral("端末 %1 から受信した %2 を %3 に保管しました")
                    .arg(terminalNumber)
                    .arg(DataName, kept));
    if (keptAs)
        *keptAs = kept;
    return true;
}

QStringList Filing::MasterCsvCopy(int terminalNumber, QString *failure)
{
    const StationLayout layout = m_settings.layout();
    const QString folder = layout.stagingFolder(terminalNumber);
    QStringList staged;
    QStringList problems;
    if (!QDir().mkpath(folder))
        problems.append(QStringLiteral("フォルダ %1 を作成できません").arg(folder));
    // Only this station writes there: what a killed one left half-written goes.
    SafeFile::sweep(folder);
    for (const QString &master : Masters::names()) {
        if (!problems.isEmpty())
            break;
        const QString name = StationLayout::exportFileName(master);
        const QString source = layout.exportFile(master, terminalNumber);
        const QString target = StationLayout::join(folder, name);
        QString why;
        // An export the terminal no longer has is withdrawn: it was staged
        // from what the terminal had before.
        if (!SafeFile::at(source).exists()) {
            if (SafeFile::at(target).exists() && !remove(target, &why))
                problems.append(why);
            continue;
        }
        // A link in the receive folder is refused: the terminal would fetch
        // whatever file it points to.
        if (!place(source, target, &why)) {
            problems.append(cannotCopy(source, target, why));
            continue;
        }
        staged.append(target);
    }
    QStringList names;
    for (const QString &path : std::as_const(staged))
        names.append(QFileInfo(path).fileName());
    m_log.write(
        QStringLiteral("端末 %1 の送信用マスタ: %2")
            .arg(terminalNumber)
            .arg(names.isEmpty() ? QStringLiteral("なし") : names.join(QStringLiteral(", "))));
    for (const QString &problem : std::as_const(problems))
        m_operator.message(problem);
    // A terminal that fetched now would miss masters it has: it is told to
    // send its control file again instead.
    if (failure && !problems.isEmpty())
        *failure = QStringLiteral("the station could not stage the masters of terminal %1")
                       .arg(terminalNumber);
    return staged;
}
