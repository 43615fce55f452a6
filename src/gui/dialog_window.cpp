#include "src/gui/dialog_window.h"

#include "src/gui/shadow_backdrop.h"
#include "src/gui/style_kit.h"
#include "src/gui/window_host.h"

#include <QLabel>
#include <QPushButton>

namespace {

QPushButton* click_area(QWidget* parent, int width, int height, int x, int y)
{
    auto* button = new QPushButton(parent);
    button->setFlat(true);
    button->setStyleSheet("QPushButton:pressed{border: none}");
    button->setFixedSize(width, height);
    button->move(x, y);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

} // namespace

dialog_window::dialog_window(const std::string& text, const std::string& title, const std::string& left_label,
                             const std::string& right_label, bool wide_right_label, QWidget* parent)
    : QFrame(parent)
{
    setFixedSize(410, 227);
    setAttribute(Qt::WA_TranslucentBackground);
    move(95, 174);

    auto* background = new QFrame(this);
    background->move(5, 5);
    background->setFixedSize(400, 217);
    background->setStyleSheet("QFrame{border-radius: 4px;border: none;background-color: #ffffff;}");
    shadow_backdrop::cast(background, standard_shadow(background));

    close_icon(this)->move(375, 30);
    dialog_line(this)->move(5, 69);

    auto* message = new QLabel(tr(text.c_str()), this);
    message->move(29, 86);
    message->setFixedSize(352, 70);
    message->setWordWrap(true);
    message->setAlignment(Qt::AlignTop | Qt::AlignVCenter);
    message->setFont(ubuntu_bold_font());
    message->setStyleSheet("font-size: 14px; line-height: 1.43; color: #959595;");

    auto* heading = new QLabel(QString::fromStdString(title), this);
    heading->move(29, 21);
    heading->setFont(ubuntu_bold_font());
    heading->setStyleSheet("height: 32px;font-size: 20px;font-weight: bold;font-style: normal;font-stretch: normal;"
                           "line-height: 1.6;color: #3a3939;");

    auto* left_frame = new QFrame(this);
    left_frame->setObjectName("acpt");
    left_frame->setStyleSheet("QFrame#acpt{border-radius:4px;background: #ffffff;}");
    shadow_backdrop::cast(left_frame, standard_shadow(left_frame));
    left_frame->setFixedSize(168, 40);
    left_frame->move(29, 158);
    auto* left_text = new QLabel(QString::fromStdString(left_label), left_frame);
    left_text->move(50, 13);
    left_text->setFont(ubuntu_bold_font());
    left_text->setStyleSheet("background:transparent; color: #3a3939;font-size: 14px;border: none;");

    auto* right_frame = new QFrame(this);
    right_frame->setStyleSheet(".QFrame{border-radius:4px;background: #e92424;}");
    right_frame->setFixedSize(167, 40);
    right_frame->move(213, 158);
    auto* right_text = new QLabel(QString::fromStdString(right_label), right_frame);
    right_text->setFont(ubuntu_bold_font());
    right_text->setStyleSheet("background:transparent; color: #ffffff;font-size: 14px;border: none;");
    right_text->move(wide_right_label ? 30 : 55, 13);

    QPushButton* right = click_area(this, 168, 40, 213, 158);
    QPushButton* left = click_area(this, 168, 40, 29, 158);
    QPushButton* close = click_area(this, 14, 14, 375, 30);

    connect(right, SIGNAL(clicked()), this, SIGNAL(accepted()));
    connect(left, SIGNAL(clicked()), this, SIGNAL(declined()));
    connect(right, SIGNAL(clicked()), this, SLOT(m_clicked()));
    connect(left, SIGNAL(clicked()), this, SLOT(m_clicked()));
    connect(close, SIGNAL(clicked()), this, SLOT(m_clicked()));
    connect(close, SIGNAL(clicked()), this, SIGNAL(closed()));

    if (auto* host = dynamic_cast<window_host*>(parent))
        host->dialog_window_open();
}

void dialog_window::m_clicked()
{
    if (isHidden())
        return; // closed already: the window was told once
    if (auto* host = dynamic_cast<window_host*>(parentWidget()))
        host->dialog_window_closed();
    hide();
    deleteLater();
}

void dialog_window::dismiss()
{
    m_clicked();
}

dialog_window* dialog_window::stop_flashing(QWidget* window)
{
    auto* dialog = new dialog_window(
        tr("Flashing is in progress, are you certain you want to stop flashing? <font color=\"#3a3939\">Progress "
           "will be lost!</font>")
            .toStdString(),
        tr("Stop flashing?").toStdString(), tr("CONTINUE").toStdString(), tr("STOP FLASHING").toStdString(), true,
        window);
    dialog->setObjectName("stop_flashing"); // the window closes it when the run ends
    dialog->show();
    return dialog;
}
