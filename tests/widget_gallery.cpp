// Renders every widget of the interface kit in its states onto one sheet, for a look by eye:
//   widget_gallery OUTPUT.png   (run under a real display, for example xvfb-run)
#include "src/gui/dialog_window.h"
#include "src/gui/more_settings.h"
#include "src/gui/progress_button.h"
#include "src/gui/style_kit.h"
#include "src/gui/text_input.h"
#include "src/gui/titlebar.h"
#include "src/gui/tooltip.h"
#include "src/gui/window_host.h"

#include <QApplication>
#include <QLabel>

class sheet : public QWidget, public window_host {
    Q_OBJECT
public:
    void dialog_window_open() override {}
    void dialog_window_closed() override {}
    bool is_flashing() const override { return false; }
public slots:
    void hide_window() {}
};

namespace {

QWidget* card(QWidget* parent, int x, int y, int width, int height)
{
    auto* frame = new QFrame(parent);
    frame->setGeometry(x, y, width, height);
    frame->setStyleSheet("background: #ffffff;");
    return frame;
}

progress_button* button_at(QWidget* parent, int y)
{
    auto* button = new progress_button(card(parent, 10, y, 600, 70));
    button->move(22, 7);
    return button;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    sheet page;
    page.setFixedSize(1240, 900);
    page.setStyleSheet("background: #f0f0f0;");

    button_at(&page, 10)->disable();
    button_at(&page, 90)->reset();
    progress_button* running = button_at(&page, 170);
    running->button_clicked();
    running->report_download_progress(100, 100);
    running->report_progress_inflate(100, 100);
    running->report_progress(40, 100);
    progress_button* done = button_at(&page, 250);
    done->button_clicked();
    done->report_progress(100, 100);

    QWidget* form = card(&page, 10, 340, 600, 300);
    auto* valid = new text_input("BTC Address", ".*", "Invalid BTC Address", form);
    valid->set_position(80);
    valid->setText("1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2");
    auto* invalid = new text_input("Worker name", "^[a-z]+$", "Invalid Worker name", form);
    invalid->set_position(200);
    invalid->setText("rig name");
    invalid->popup()->show();
    auto* empty = new text_input("SSH key", ".*", "", form);
    empty->set_position(250);
    auto* label = new QLabel("Worker name", form);
    label->setFont(ubuntu_regular_font());
    label->setStyleSheet("height: 16px;font-size: 12px;font-weight: normal;line-height: 1.33;color: #959595;");
    label->move(24, 176);
    auto* tip = new tooltip("Put your mining machine into group.", label->sizeHint().width() + 28, 176, form);
    tip->pop_up()->move(24, 176 - tip->pop_up()->height() - 30);
    tip->pop_up()->show();

    QWidget* links = card(&page, 10, 650, 600, 60);
    auto* more = new more_settings(links);
    more->move(24, 8);
    auto* less = new more_settings(links);
    less->move(24, 32);
    less->show_less();
    auto* off = new more_settings(links);
    off->move(300, 8);
    off->disable();

    QWidget* window_like = card(&page, 620, 10, 610, 330);
    new titlebar(window_like);
    wide_line(window_like)->move(16, 52);
    logo_image(window_like)->move(24, 280);
    vertical_line(window_like)->move(190, 284);
    usb_head_icon(window_like)->move(24, 70);
    card_information_icon(window_like)->move(56, 70);
    new dialog_window("Large storage device selected, are you sure you would like to write on this device? <font "
                      "color=\"#3a3939\">All data on selected USB device will be lost!</font>",
                      "Confirm flashing", "CONTINUE", "CANCEL", false, window_like);
    QWidget* stop = card(&page, 620, 350, 610, 330);
    new dialog_window("Flashing is in progress, are you certain you want to stop flashing? <font "
                      "color=\"#3a3939\">Progress will be lost!</font>",
                      "Stop flashing?", "CONTINUE", "STOP FLASHING", true, stop);
    for (auto* dialog : page.findChildren<dialog_window*>())
        dialog->move(95, 50);

    page.show();
    QApplication::processEvents();
    page.grab().save(argc > 1 ? argv[1] : "gallery.png");
    return 0;
}
#include "widget_gallery.moc"
