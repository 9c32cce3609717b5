#pragma once

#include <QColor>
#include <QWidget>

// The listening lamp: a circle filled with one solid colour.
class LampWidget : public QWidget
{
    Q_OBJECT

public:
    explicit LampWidget(QWidget *parent = nullptr);

    QColor fillColor() const { return m_fill; }
    void setFillColor(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_fill = Qt::white;
};
