#include "src/gui/style_kit.h"

#include "src/gui/font_names.h"
#include "src/gui/shadow_backdrop.h"

#include <QColor>
#include <QFile>
#include <QFontDatabase>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QHash>
#include <QLabel>
#include <QStringList>

#include <mutex>

// Outside any namespace, as the resource initialiser requires.
static void initialise_kelvra_resources()
{
    Q_INIT_RESOURCE(kelvra);
}

void register_resources()
{
    static std::once_flag once;
    std::call_once(once, initialise_kelvra_resources);
}

namespace {

// The style of the face a font file holds, as the font database lists it under the family it
// registered the file in: the Regular, Medium and Bold files of one family share the family name,
// so the family alone would always give Regular. The database's names come from the file's own,
// typographic ones (Ubuntu Medium) or, on Windows, legacy ones (Ubuntu Light Bold).
QString style_of(const QString& resource, const QString& family)
{
    static QHash<QString, QString> styles; // the widgets live on one thread
    auto known = styles.find(resource);
    if (known == styles.end()) {
        QFile file(resource);
        file.open(QIODevice::ReadOnly);
        const QStringList listed = QFontDatabase().styles(family);
        QString style;
        for (const face_name& name : face_names(file.readAll())) {
            if (name.family == family && listed.contains(name.style)) {
                style = name.style;
                break;
            }
        }
        known = styles.insert(resource, style);
    }
    return *known;
}

QFont font_from(const QString& resource, qreal spacing)
{
    register_resources();
    const int id = QFontDatabase::addApplicationFont(resource);
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    QFont font(families.isEmpty() ? QString() : families.first());
    const QString style = families.isEmpty() ? QString() : style_of(resource, families.first());
    if (!style.isEmpty()) {
        // Where the font back end picks faces by style name (fontconfig), the name keeps the face
        // whatever weight a style sheet sets later; where it picks them by weight within the
        // family (Windows), the face's own weight does.
        font.setStyleName(style);
        const int weight = QFontDatabase().weight(font.family(), style);
        if (weight >= 0)
            font.setWeight(weight);
    }
    font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return font;
}

QGraphicsDropShadowEffect* shadow(QObject* parent, const QColor& colour)
{
    auto* effect = new QGraphicsDropShadowEffect(parent);
    effect->setBlurRadius(10.0);
    effect->setOffset(0.0, 1.0);
    effect->setColor(colour);
    return effect;
}

enum class sizing { fixed, resized };

QLabel* image_label(QWidget* parent, const QString& resource, int width, int height, const QString& style = QString(),
                    sizing how = sizing::fixed)
{
    register_resources();
    const QPixmap pixmap(resource);
    auto* label = new QLabel(parent);
    if (!style.isEmpty())
        label->setStyleSheet(style);
    label->setPixmap(pixmap);
    if (how == sizing::fixed)
        label->setFixedSize(width, height);
    else
        label->resize(width, height);
    label->setScaledContents(true);
    return label;
}

QPixmap pixmap(const QString& resource)
{
    register_resources();
    return QPixmap(resource);
}

QFrame* line(QWidget* parent, QFrame::Shape shape, const QString& style, int width, int height)
{
    auto* frame = new QFrame(parent);
    frame->setFrameShape(shape);
    frame->setFrameShadow(QFrame::Plain);
    frame->setStyleSheet(style);
    frame->setFixedSize(width, height);
    return frame;
}

} // namespace

QFont roboto_regular_font()
{
    return font_from(":/fonts/Roboto/Roboto-Regular.ttf", 2.0);
}

QFont ubuntu_bold_font()
{
    return font_from(":/fonts/Ubuntu/Ubuntu-Bold.ttf", 1.0);
}

QFont ubuntu_medium_font()
{
    return font_from(":/fonts/Ubuntu/Ubuntu-Medium.ttf", -0.03);
}

QFont ubuntu_regular_font()
{
    return font_from(":/fonts/Ubuntu/Ubuntu-Regular.ttf", -0.02);
}

QGraphicsDropShadowEffect* standard_shadow(QObject* parent)
{
    return shadow(parent, QColor(35, 35, 35, 40));
}

QGraphicsDropShadowEffect* window_shadow(QObject* parent)
{
    return shadow(parent, QColor(58, 57, 57, 230));
}

QGraphicsDropShadowEffect* red_shadow(QObject* parent)
{
    return shadow(parent, QColor(233, 36, 36, 40));
}

QLabel* arrow_up_down_icon(QWidget* parent)
{
    return image_label(parent, ":/resources/icons/arrow-up-down.svg", 9, 13);
}

QLabel* card_information_icon(QWidget* parent)
{
    return image_label(parent, ":/resources/icons/card-information.svg", 24, 24);
}

QLabel* close_icon(QWidget* parent)
{
    return image_label(parent, ":/resources/icons/close.svg", 14, 14, "background: transparent");
}

QLabel* done_icon(QWidget* parent)
{
    return image_label(parent, ":/resources/icons/done.svg", 17, 17, "background: transparent;");
}

QLabel* hide_icon(QWidget* parent)
{
    return image_label(parent, ":/resources/icons/hide.svg", 16, 2, "background: transparent");
}

QLabel* lightning_orange_icon(QWidget* parent)
{
    QLabel* label = image_label(parent, ":/resources/icons/lightning-orange.svg", 10, 19, "background: transparent");
    label->move(244, 19);
    return label;
}

QLabel* lightning_white_icon(QWidget* parent)
{
    QLabel* label = image_label(parent, ":/resources/icons/lightning-white.svg", 10, 19, "background: transparent");
    label->move(244, 19);
    return label;
}

QLabel* logo_image(QWidget* parent)
{
    return image_label(parent, ":/resources/KELVRA/group.svg", 150, 32);
}

QLabel* rectangle_image(QWidget* parent)
{
    return image_label(parent, ":/resources/button-progress/rectangle.svg", 556, 56, QString(), sizing::resized);
}

QLabel* rectangle_done_image(QWidget* parent)
{
    return image_label(parent, ":/resources/button-progress/rectangle-done.svg", 556, 56, QString(), sizing::resized);
}

QLabel* rectangle_empty_image(QWidget* parent)
{
    return image_label(parent, ":/resources/button-progress/rectangle-empty.svg", 556, 56);
}

QLabel* usb_head_icon(QWidget* parent)
{
    return image_label(parent, ":/resources/usb-head/usb-head.svg", 16, 20);
}

QFrame* dark_bubble_frame(QWidget* parent)
{
    auto* bubble = new QFrame(parent);
    bubble->setStyleSheet("background: #3a3939;border-radius: 5px");
    shadow_backdrop::cast(bubble, standard_shadow(bubble));
    return bubble;
}

QLabel* dark_bubble_arrow(QWidget* parent)
{
    auto* arrow = new QLabel(parent);
    arrow->setPixmap(arrow_down_dark_pixmap());
    arrow->setFixedSize(8, 5);
    arrow->setScaledContents(true);
    shadow_backdrop::cast(arrow, standard_shadow(arrow));
    return arrow;
}

QPixmap arrow_down_pixmap()
{
    return pixmap(":/resources/icons/arrow-down.svg");
}

QPixmap arrow_down_light_pixmap()
{
    return pixmap(":/resources/icons/arrow-down-light.svg");
}

QPixmap arrow_down_dark_pixmap()
{
    return pixmap(":/resources/icons/arrow-down-dark.svg");
}

QPixmap arrow_up_pixmap()
{
    return pixmap(":/resources/icons/arrow-up.png");
}

QFrame* form_line(QWidget* parent)
{
    return line(parent, QFrame::HLine, "color: #eeeeee;", 552, 1);
}

QFrame* wide_line(QWidget* parent)
{
    return line(parent, QFrame::HLine, "color: #eeeeee;", 568, 1);
}

QFrame* dialog_line(QWidget* parent)
{
    return line(parent, QFrame::HLine, "color: #f5f5f5;", 400, 1);
}

QFrame* vertical_line(QWidget* parent)
{
    return line(parent, QFrame::VLine, "color: #959595;", 1, 24);
}
