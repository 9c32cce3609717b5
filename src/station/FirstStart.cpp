#include "FirstStart.h"

#include "KeyCommand.h"
#include "RememberedStation.h"
#include "StationInit.h"
#include "base/Operator.h"
#include "base/StationLayout.h"
#include "link/LinkKey.h"

#include <QDir>
#include <QFileInfo>

QString FirstStart::unreadable(const QString &dir)
{
    const QFileInfo folder(dir);
    if (!folder.exists() || (folder.isDir() && folder.isReadable() && folder.isExecutable()))
        return QString();
    return QStringLiteral("ステーションのフォルダ %1 を読めません（%2）")
        .arg(dir,
             folder.isDir() ? QStringLiteral("このアカウントには権限がありません")
                            : QStringLiteral("フォルダではありません"));
}

bool FirstStart::wanted(const QString &dir)
{
    return unreadable(dir).isEmpty()
        && !QFileInfo::exists(StationLayout(dir, QString()).settingsFile());
}

QString FirstStart::offer(Operator &op,
                          const QString &dir,
                          const std::function<QString()> &chooseFolder)
{
    const int picked = op.choose(
        caption(),
        QStringLiteral("%1 にステーションがありません。新しいステーションを作成しますか").arg(dir),
        { QStringLiteral("%1 に作成する").arg(dir), QStringLiteral("フォルダを選んで作成する") });
    QString target = dir;
    if (picked == 1)
        target = chooseFolder ? chooseFolder() : QString();
    if (picked < 0 || target.isEmpty())
        return QString();
    target = QDir::cleanPath(QFileInfo(target).absoluteFilePath());

    QString message;
    StationInit::Options options;
    options.linkKey = Link::generateKey();
    if (StationInit::run(target, &message, {}, {}, options) != StationInit::Result::Created) {
        op.message(message);
        return QString();
    }
    const QString keyFile = StationLayout::ofNewStation(target).linkKeyFile();
    QStringList lines {
        message,
        Cli::newKeyLines(options.linkKey, keyFile, target).first(),
        QStringLiteral("この鍵を各端末に設定してください（端末の設定画面に入力するか、"
                       "鍵のファイル %1 を端末に渡します）")
            .arg(keyFile),
    };
    // The desktop entry names no folder: without this, the next start would
    // look in the default folder again and offer again.
    if (QString why; !RememberedStation::write(target, &why))
        lines << QStringLiteral("次回の起動のためにフォルダを記録できませんでした（%1）").arg(why);
    op.information(caption(), lines.join(u'\n'));
    return target;
}
