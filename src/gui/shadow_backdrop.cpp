#include "src/gui/shadow_backdrop.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsPixmapItem>
#include <QPaintEvent>
#include <QPainter>

namespace {

// Takes the card out of a picture of the card over its shadow, both premultiplied, leaving the
// shadow alone: the card paints itself over the backdrop again, and its anti-aliased edge must
// not be laid over itself. Where the card covers a fraction a, the picture holds
// card + shadow * (1 - a), so the shadow there is (picture - card) / (1 - a).
void take_out_card(QImage& picture, const QImage& card)
{
    for (int y = 0; y < picture.height(); ++y) {
        auto* drawn = reinterpret_cast<QRgb*>(picture.scanLine(y));
        const auto* covered = reinterpret_cast<const QRgb*>(card.constScanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            const int alpha = qAlpha(covered[x]);
            if (alpha == 0)
                continue;
            if (alpha == 255) {
                drawn[x] = 0;
                continue;
            }
            const int rest = 255 - alpha;
            const auto shadow_part = [rest](int both, int card_part) {
                return qBound(0, ((both - card_part) * 255 + rest / 2) / rest, 255);
            };
            const int shadow_alpha = shadow_part(qAlpha(drawn[x]), alpha);
            drawn[x] = qRgba(qMin(shadow_part(qRed(drawn[x]), qRed(covered[x])), shadow_alpha),
                             qMin(shadow_part(qGreen(drawn[x]), qGreen(covered[x])), shadow_alpha),
                             qMin(shadow_part(qBlue(drawn[x]), qBlue(covered[x])), shadow_alpha), shadow_alpha);
        }
    }
}

} // namespace

shadow_backdrop* shadow_backdrop::cast(QWidget* card, QGraphicsDropShadowEffect* shadow)
{
    shadow_backdrop* backdrop = of(card);
    if (!shadow || !card->parentWidget()) {
        delete backdrop;
        delete shadow;
        return nullptr;
    }
    if (!backdrop)
        backdrop = new shadow_backdrop(card);
    backdrop->m_set_shadow(shadow);
    return backdrop;
}

shadow_backdrop* shadow_backdrop::of(const QWidget* card)
{
    if (!card || !card->parentWidget())
        return nullptr;
    for (QObject* sibling : card->parentWidget()->children()) {
        auto* backdrop = qobject_cast<shadow_backdrop*>(sibling);
        if (backdrop && backdrop->m_card == card)
            return backdrop;
    }
    return nullptr;
}

shadow_backdrop::shadow_backdrop(QWidget* card)
    : QWidget(card->parentWidget()), m_card(card), m_card_item(m_scene.addPixmap(QPixmap()))
{
    // The shadow is no part of the card: clicks on it reach whatever lies below, as before.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_scene.setItemIndexMethod(QGraphicsScene::NoIndex);
    card->installEventFilter(this);
    connect(card, &QObject::destroyed, this, &QObject::deleteLater);
    stackUnder(card);
}

QGraphicsDropShadowEffect* shadow_backdrop::shadow() const
{
    return static_cast<QGraphicsDropShadowEffect*>(m_card_item->graphicsEffect());
}

void shadow_backdrop::m_set_shadow(QGraphicsDropShadowEffect* shadow)
{
    shadow->setParent(this);
    m_card_item->setGraphicsEffect(shadow); // deletes the one it replaces
    m_picture_stale = true;
    m_follow_card();
    update();
}

void shadow_backdrop::m_follow_card()
{
    if (!m_card)
        return;
    setGeometry(shadow()->boundingRectFor(QRectF(m_card->geometry())).toAlignedRect());
    setVisible(!m_card->isHidden());
}

bool shadow_backdrop::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_card) {
        switch (event->type()) {
        case QEvent::Resize:
            m_picture_stale = true;
            m_follow_card();
            break;
        case QEvent::Move:
        case QEvent::Show:
        case QEvent::Hide:
            m_follow_card();
            break;
        case QEvent::ZOrderChange:
            stackUnder(m_card);
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void shadow_backdrop::m_draw_picture()
{
    const qreal ratio = devicePixelRatioF();
    const QPoint card_at = m_card->pos() - pos();

    // The card as the effect would see it: drawn with its children, without its window background.
    QPixmap card(m_card->size() * ratio);
    card.setDevicePixelRatio(ratio);
    card.fill(Qt::transparent);
    m_card->render(&card, QPoint(), QRegion(), QWidget::DrawChildren);
    m_card_item->setPixmap(card);

    m_picture = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
    m_picture.setDevicePixelRatio(ratio);
    m_picture.fill(Qt::transparent);
    QPainter painter(&m_picture);
    m_scene.render(&painter, QRectF(rect()), QRectF(QPointF(-card_at), QSizeF(size())), Qt::IgnoreAspectRatio);
    painter.end();

    QImage card_alone(m_picture.size(), QImage::Format_ARGB32_Premultiplied);
    card_alone.setDevicePixelRatio(ratio);
    card_alone.fill(Qt::transparent);
    painter.begin(&card_alone);
    painter.drawPixmap(card_at, card);
    painter.end();
    take_out_card(m_picture, card_alone);
    m_picture_stale = false;
}

void shadow_backdrop::paintEvent(QPaintEvent*)
{
    if (!m_card)
        return;
    if (m_picture_stale || m_picture.size() != size() * devicePixelRatioF())
        m_draw_picture();
    QPainter painter(this);
    painter.drawImage(QPoint(), m_picture);
}
