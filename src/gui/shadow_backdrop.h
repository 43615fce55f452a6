#pragma once

#include <QGraphicsScene>
#include <QImage>
#include <QPointer>
#include <QWidget>

class QGraphicsDropShadowEffect;
class QGraphicsPixmapItem;

// The drop shadow of a card, cast by a plain widget lying right under the card.
//
// Qt paints a widget that carries a graphics effect through a picture clipped to the rectangle
// around the area being repainted, and then repaints only the area itself for the widgets lying
// over it: whatever lies over such a widget and outside that area is erased (labels, dialogs,
// borders). So nothing on the screen carries an effect: the effect draws the shadow off the
// screen, once per size of the card, and the backdrop paints that picture like any image.
class shadow_backdrop : public QWidget {
    Q_OBJECT

public:
    // Casts the shadow under the card, which must have a parent; the backdrop owns the effect from
    // then on. A card casts one shadow at a time: a new one replaces the old, nullptr removes it.
    static shadow_backdrop* cast(QWidget* card, QGraphicsDropShadowEffect* shadow);
    // The backdrop casting the card's shadow, or nullptr.
    static shadow_backdrop* of(const QWidget* card);

    QGraphicsDropShadowEffect* shadow() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit shadow_backdrop(QWidget* card);
    void m_set_shadow(QGraphicsDropShadowEffect* shadow);
    void m_follow_card();
    void m_draw_picture();

    QPointer<QWidget> m_card;
    QGraphicsScene m_scene;
    QGraphicsPixmapItem* m_card_item;
    QImage m_picture;
    bool m_picture_stale = true;
};
