#pragma once

#include <QFont>
#include <QPixmap>

class QFrame;
#include <QGraphicsDropShadowEffect>
class QLabel;
class QObject;
class QWidget;

// The interface kit: fonts and images compiled in as resources, drop shadows, icon labels and
// separator lines, each built ready to use by one factory.

// Registers the compiled-in fonts and images; safe to call any number of times.
void register_resources();

QFont roboto_regular_font();
QFont ubuntu_bold_font();
QFont ubuntu_medium_font();
QFont ubuntu_regular_font();

QGraphicsDropShadowEffect* standard_shadow(QObject* parent);
QGraphicsDropShadowEffect* window_shadow(QObject* parent);
QGraphicsDropShadowEffect* red_shadow(QObject* parent);

QLabel* arrow_up_down_icon(QWidget* parent);
QLabel* card_information_icon(QWidget* parent);
QLabel* close_icon(QWidget* parent);
QLabel* done_icon(QWidget* parent);
QLabel* hide_icon(QWidget* parent);
QLabel* lightning_orange_icon(QWidget* parent);
QLabel* lightning_white_icon(QWidget* parent);
QLabel* logo_image(QWidget* parent);
QLabel* rectangle_image(QWidget* parent);
QLabel* rectangle_done_image(QWidget* parent);
QLabel* rectangle_empty_image(QWidget* parent);
QLabel* usb_head_icon(QWidget* parent);

// The dark speech bubble of tooltips and field errors: its frame and the arrow under it.
QFrame* dark_bubble_frame(QWidget* parent);
QLabel* dark_bubble_arrow(QWidget* parent);

QPixmap arrow_down_pixmap();
QPixmap arrow_down_light_pixmap();
QPixmap arrow_down_dark_pixmap();
QPixmap arrow_up_pixmap();

QFrame* form_line(QWidget* parent);
QFrame* wide_line(QWidget* parent);
QFrame* dialog_line(QWidget* parent);
QFrame* vertical_line(QWidget* parent);
