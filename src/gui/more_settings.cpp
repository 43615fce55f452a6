#include "src/gui/more_settings.h"

#include "src/gui/style_kit.h"

#include <QLabel>

more_settings::more_settings(QWidget* parent) : QFrame(parent)
{
    m_text = new QLabel(tr("Additional settings (optional)"), this);
    m_text->setStyleSheet("height: 20px; font-size: 14px; line-height: 1.43; color: #128ede;");
    m_text->setFont(ubuntu_regular_font());
    const int width = m_text->sizeHint().width();
    m_arrow = new QLabel(this);
    m_arrow->setFixedSize(8, 5);
    m_arrow->setScaledContents(true);
    m_arrow->setPixmap(arrow_down_pixmap());
    m_arrow->move(width + 8, 6);
    resize(width + 16, 20);
}

void more_settings::m_set_look(const QString& text, const char* colour, const QPixmap& arrow, bool enabled,
                               Qt::CursorShape cursor)
{
    setCursor(cursor);
    m_enabled = enabled;
    m_text->setStyleSheet(QString("height: 20px; font-size: 14px; line-height: 1.43; color: %1;").arg(colour));
    m_text->setText(text);
    const int width = m_text->sizeHint().width();
    m_text->resize(width, 20);
    m_arrow->setPixmap(arrow);
    m_arrow->move(width + 8, 6);
    resize(width + 16, 20);
}

void more_settings::show_more()
{
    m_set_look(tr("Additional settings (optional)"), "#128ede", arrow_down_pixmap(), true, Qt::PointingHandCursor);
}

void more_settings::show_less()
{
    m_set_look(tr("Less settings"), "#128ede", arrow_up_pixmap(), true, Qt::PointingHandCursor);
}

void more_settings::disable()
{
    m_set_look(tr("Additional settings (optional)"), "#c4e3f7", arrow_down_light_pixmap(), false, Qt::ForbiddenCursor);
}

void more_settings::mousePressEvent(QMouseEvent*)
{
    if (m_enabled)
        emit clicked();
}
