#include "JapaneseFonts.h"

#include <QStringList>

namespace JapaneseFonts {

QFont font(const QString &family, qreal pointSize)
{
    QFont result;
    result.setFamilies({ family,
                         QStringLiteral("MS Gothic"),
                         QStringLiteral("IPAGothic"),
                         QStringLiteral("IPAPGothic"),
                         QStringLiteral("IPAexGothic"),
                         QStringLiteral("Noto Sans CJK JP"),
                         QStringLiteral("VL Gothic"),
                         QStringLiteral("TakaoGothic") });
    result.setPointSizeF(pointSize);
    return result;
}

} // namespace JapaneseFonts
