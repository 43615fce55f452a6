#include "src/gui/text_input.h"

#include "src/config/field_rules.h"
#include "src/gui/shadow_backdrop.h"
#include "src/gui/style_kit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>

namespace {

const char* const normal_style = "QLineEdit {border-radius: 4px;background-color: #ffffff;height: 20px;font-size: 14px;"
                                 "font-weight: normal;padding-left: 16px;border: none;color: #3a3939;}";
const char* const error_style = "QLineEdit {border-radius: 4px;background-color: #ffffff;height: 20px;font-size: 14px;"
                                "font-weight: normal;padding-left: 16px;border: 1px solid #e92424;color: #e92424;}";

const QColor placeholder_grey(206, 205, 205, 255);

} // namespace

text_input_popup::text_input_popup(const std::string& text, QWidget* parent) : QFrame(parent)
{
    setStyleSheet("background: transparent;border-radius: 5px;");
    QLabel* arrow = dark_bubble_arrow(this);
    QFrame* bubble = dark_bubble_frame(this);
    bubble->move(0, 0);

    auto* message = new QLabel(tr(text.c_str()), bubble);
    message->setStyleSheet("font-size: 12px;font-weight: normal;line-height: 1.33;color: #fcfcfc;"
                           "background: transparent;border: none;");
    message->setFont(ubuntu_regular_font());
    message->setWordWrap(true);
    message->move(16, 8);
    if (message->sizeHint().width() >= 417)
        message->setFixedWidth(417);

    bubble->setFixedSize(message->sizeHint().width() + 32, message->sizeHint().height() + 16);
    arrow->move(20, bubble->height());
    resize(bubble->width(), bubble->height() + arrow->height());
}

text_input::text_input(const std::string& placeholder, const std::string& pattern, const std::string& error_text,
                       QWidget* parent)
    : QLineEdit(parent), m_pattern(pattern)
{
    setMouseTracking(true);
    setFixedSize(552, 40);
    move(24, 8);
    setPlaceholderText(tr(placeholder.c_str()));
    setStyleSheet(normal_style);
    shadow_backdrop::cast(this, standard_shadow(parent));
    setFont(ubuntu_regular_font());
    setAttribute(Qt::WA_MacShowFocusRect, false);

    QPalette colours = palette();
    colours.setBrush(QPalette::Mid, QBrush(placeholder_grey));
    setPalette(colours);

    connect(this, SIGNAL(textChanged(const QString&)), this, SLOT(validate_text()));
    m_popup = new text_input_popup(error_text, parent);
    m_popup->hide();
    setFrame(false);
}

void text_input::set_position(int y)
{
    move(24, y);
    m_popup->move(24, y - m_popup->height());
}

void text_input::validate_text()
{
    if (text_is_valid(m_pattern, text().toStdString())) {
        setStyleSheet(normal_style);
        shadow_backdrop::cast(this, standard_shadow(parentWidget()));
        m_valid = true;
        m_popup->hide();
        return;
    }
    setStyleSheet(error_style);
    shadow_backdrop::cast(this, red_shadow(parentWidget()));
    m_valid = false;
}

void text_input::changeEvent(QEvent* event)
{
    QLineEdit::changeEvent(event);
    // Each time the style sheet is applied it gives the placeholder the text colour, and an empty
    // field would look filled in: the placeholder keeps the palette's grey.
    if (event->type() == QEvent::PaletteChange && palette().color(QPalette::PlaceholderText) != placeholder_grey) {
        QPalette colours = palette();
        colours.setBrush(QPalette::PlaceholderText, QBrush(placeholder_grey));
        setPalette(colours);
    }
}

void text_input::enterEvent(QEvent* event)
{
    QLineEdit::enterEvent(event);
    if (!m_valid) {
        m_popup->show();
        m_popup->raise();
    }
}

void text_input::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    if (event->reason() == Qt::MouseFocusReason)
        emit pressed();
}

void text_input::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = make_context_menu();
    menu->exec(event->globalPos());
    delete menu;
}

QMenu* text_input::make_context_menu()
{
    QMenu* menu = createStandardContextMenu();
    menu->setStyleSheet("QMenu {border: 1px solid #f5f5f5;background-color: #ffffff; border-radius: 4px;} "
                        "QMenu:item {padding-left: 20px; padding-right: 20px; border-radius:4px; height: 20px;"
                        "font-size: 14px;} QMenu:item:selected {background: #fafafa;}");
    menu->setFont(ubuntu_regular_font());
    menu->clear();
    const auto add = [menu](const QString& text, auto effect) {
        QAction* action = menu->addAction(text);
        action->setShortcut(QKeySequence());
        connect(action, &QAction::triggered, effect);
    };
    if (!text().isEmpty()) {
        add(tr("Copy"), [this] {
            if (!hasSelectedText())
                selectAll();
            copy();
        });
        add(tr("Cut"), [this] {
            if (!hasSelectedText())
                selectAll();
            cut();
        });
    }
    if (!QApplication::clipboard()->text().isEmpty())
        add(tr("Paste"), [this] { paste(); });
    add(tr("Undo"), [this] { undo(); });
    return menu;
}
