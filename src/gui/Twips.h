#pragma once

#include <QRect>
#include <QWidget>

// The windows are laid out in twips (1440 to the inch), converted to pixels at
// the screen's logical DPI.
namespace Twips {

inline int toPixels(int twips, qreal dotsPerInch)
{
    return qRound(twips * dotsPerInch / 1440.0);
}

inline QRect rect(const QWidget *widget, int left, int top, int width, int height)
{
    const qreal x = widget->logicalDpiX();
    const qreal y = widget->logicalDpiY();
    return QRect(toPixels(left, x), toPixels(top, y), toPixels(width, x), toPixels(height, y));
}

inline QSize size(const QWidget *widget, int width, int height)
{
    return QSize(toPixels(width, widget->logicalDpiX()), toPixels(height, widget->logicalDpiY()));
}

} // namespace Twips
