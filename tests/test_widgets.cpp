#include "src/gui/dialog_window.h"
#include "src/gui/font_names.h"
#include "src/gui/more_settings.h"
#include "src/gui/progress_button.h"
#include "src/gui/shadow_backdrop.h"
#include "src/gui/style_kit.h"
#include "src/gui/text_input.h"
#include "src/gui/titlebar.h"
#include "src/gui/tooltip.h"
#include "src/gui/window_host.h"

#include <QtTest>

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QRawFont>
#include <QPushButton>

// Stands in for the main window: records what the dialog and the title bar ask of it.
class stand_in_window : public QWidget, public window_host {
    Q_OBJECT

public:
    stand_in_window() { resize(610, 585); }
    void dialog_window_open() override { events << "open"; }
    void dialog_window_closed() override { events << "host closed"; }
    bool is_flashing() const override { return flashing; }

    QStringList events;
    bool flashing = false;
    int hides = 0;

public slots:
    void hide_window() { ++hides; }
};

namespace {

QList<QPushButton*> buttons_of(QWidget* widget)
{
    return widget->findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly);
}

QStringList entries(QMenu* menu)
{
    QStringList texts;
    for (QAction* action : menu->actions())
        texts << action->text();
    return texts;
}

// The pointer enters the widget, or leaves it.
void hover(QWidget* widget, bool enters = true)
{
    QEvent event(enters ? QEvent::Enter : QEvent::Leave);
    QCoreApplication::sendEvent(widget, &event);
}

} // namespace

class test_widgets : public QObject {
    Q_OBJECT

    // The progress button three levels below the window, as in the real layout.
    struct button_in_window {
        stand_in_window window;
        QFrame* outer = new QFrame(&window);
        QFrame* inner = new QFrame(outer);
        progress_button* button = new progress_button(inner);
    };

private slots:
    // A picture left out of the resources draws nothing, on the screen and in its rendering alike.
    void images_load()
    {
        for (const char* path : {":/resources/KELVRA/group.svg", ":/resources/button-progress/rectangle-empty.svg",
                                 ":/resources/icons/info-circle.png"})
            QVERIFY2(!QPixmap(path).isNull(), path);
        QVERIFY(!arrow_up_pixmap().isNull());
    }

    // Bold and Medium come in files of their own but share the family of Regular, so a font that
    // names only the family would come out Regular. The face drawn is known by its file's header:
    // its names differ with the platform's font back end.
    void each_font_factory_yields_its_face()
    {
        const auto drawn = [](const QFont& font) { return QRawFont::fromFont(font).fontTable("head"); };
        const auto face = [](const QString& file) {
            QFile font_file(":/fonts/" + file + ".ttf");
            return font_file.open(QIODevice::ReadOnly) ? QRawFont(font_file.readAll(), 12).fontTable("head") : QByteArray();
        };
        const QByteArray regular = face("Ubuntu/Ubuntu-Regular"), medium = face("Ubuntu/Ubuntu-Medium"),
                         bold = face("Ubuntu/Ubuntu-Bold");
        QVERIFY(!regular.isEmpty() && regular != medium && medium != bold && bold != regular);
        QVERIFY(drawn(ubuntu_regular_font()) == regular && drawn(ubuntu_medium_font()) == medium
                && drawn(ubuntu_bold_font()) == bold && drawn(roboto_regular_font()) == face("Roboto/Roboto-Regular"));
        // Style sheets set sizes and weights: the dialog's message sets none and stays Bold, the
        // button's caption asks for bold and stays Medium.
        QLabel message("Large storage device selected"), caption("FLASH");
        message.setFont(ubuntu_bold_font());
        message.setStyleSheet("font-size: 14px; line-height: 1.43; color: #959595;");
        caption.setFont(ubuntu_medium_font());
        caption.setStyleSheet("font-size: 14px;font-style: normal;font-weight: bold;line-height: 1;");
        message.ensurePolished();
        caption.ensurePolished();
        QVERIFY(drawn(message.font()) == bold && drawn(caption.font()) == medium);
        // A damaged font file names no face and is read no further than it goes.
        QFile file(":/fonts/Ubuntu/Ubuntu-Medium.ttf");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray whole = file.readAll();
        QCOMPARE(face_names(whole).front().style, QString("Medium"));
        for (int length = 0; length < 1200; length += 7)
            face_names(whole.left(length));
    }

    // An empty field shows its placeholder in the palette's light grey, not in the text colour.
    void placeholder_is_light_grey()
    {
        QWidget panel;
        text_input field("BTC Address", "[a-z]*", "Invalid BTC address", &panel);
        const auto darkest = [&field] {
            const QImage image = field.grab().toImage();
            QColor found(Qt::white);
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (qGray(image.pixel(x, y)) < qGray(found.rgb()))
                        found = image.pixel(x, y);
            return found;
        };
        const QColor placeholder = darkest();
        QVERIFY2(qAbs(placeholder.red() - 0xce) <= 8 && qAbs(placeholder.green() - 0xcd) <= 8,
                 qPrintable(placeholder.name()));
        field.setText("bvbmseystwetqtfnauxjanvn");
        QVERIFY2(darkest().red() <= 0x3a + 12, qPrintable(darkest().name())); // typed text stays dark
        field.setText("Refused");
        field.clear(); // back from the red style sheet
        QCOMPARE(darkest().name(), placeholder.name());
    }

    void progress_folds_three_phases_into_one_bar()
    {
        button_in_window w;
        progress_button& button = *w.button;
        QSignalSpy clicked(&button, &progress_button::clicked);
        QSignalSpy done(&button, &progress_button::done);
        button.button_clicked();
        QCOMPARE(clicked.size(), 1);
        QCOMPARE(button.caption_text(), QString("FLASH - 0%"));

        // The fill in pixels and the caption: together, so that one line names both.
        const auto shown = [&button] { return QString("%1 %2").arg(button.fill_pixels()).arg(button.caption_text()); };
        button.report_download_progress(50, 100);
        QCOMPARE(shown(), QString("91 FLASHING - 16%"));
        button.report_download_progress(10, -1); // unknown total: nothing changes
        QCOMPARE(shown(), QString("91 FLASHING - 16%"));
        button.report_download_progress(100, 100);
        button.report_progress_inflate(50, 100); // 33 + 16.75
        QCOMPARE(button.caption_text(), QString("FLASHING - 49%"));
        button.report_progress_inflate(100, 100); // 66.5
        button.report_progress(50, 100); // 66.5 + 16.75
        QCOMPARE(button.caption_text(), QString("FLASHING - 83%"));
        QCOMPARE(done.size(), 0);
        button.report_progress(100, 100);
        QCOMPARE(button.fill_pixels(), 556);
        QCOMPARE(done.size(), 1);
        // Clickable exactly when it shows the pointing hand: after the run it is not, after reset()
        // ("FLASH ANOTHER?" stays) it is again, after disable() not.
        const auto open = [&button] { return button.clickable() && button.cursor().shape() == Qt::PointingHandCursor; };
        const auto shut = [&button] { return !button.clickable() && button.cursor().shape() == Qt::ForbiddenCursor; };
        QVERIFY(shut());
        button.reset();
        QVERIFY(open());

        // The next stick, its image already there: no download share.
        button.button_clicked();
        button.report_progress_inflate(100, 100); // 0 to 50
        button.report_progress(0, 0); // never sent; must not break anything
        QCOMPARE(shown(), QString("278 FLASHING - 50%"));
        button.report_progress(300, 100); // more than the total: clamped, no wrap past 255
        QCOMPARE(shown(), QString("556 FLASHING - 100%"));
        QCOMPARE(done.size(), 2);
        button.reset();
        button.disable();
        QVERIFY(shut());
    }

    // Hovered, it shows CANCEL until the next update after the pointer left; clicked, it asks first.
    void hover_and_click_while_flashing()
    {
        button_in_window w;
        progress_button& button = *w.button;
        QSignalSpy cancel(&button, &progress_button::cancel);
        button.button_clicked();
        hover(&button);
        QCOMPARE(button.caption_text(), QString("CANCEL"));
        button.report_download_progress(30, 100);
        QCOMPARE(button.caption_text(), QString("CANCEL - 9%"));
        const auto says = [&button](const char* word) { return button.caption_text().startsWith(word + QString(" - ")); };
        button.report_progress_inflate(10, 100); // decompression always says FLASHING
        QVERIFY(says("FLASHING"));
        button.report_progress(10, 100);
        QVERIFY(says("FLASHING"));
        hover(&button);
        button.report_progress(20, 100);
        QVERIFY(says("CANCEL"));
        hover(&button, false);
        QVERIFY(says("CANCEL"));
        button.report_progress(30, 100);
        QVERIFY(says("FLASHING"));

        button.button_clicked();
        auto* dialog = w.window.findChild<dialog_window*>();
        QVERIFY(dialog && dialog->parentWidget() == &w.window);
        buttons_of(dialog)[1]->click(); // CONTINUE
        QCOMPARE(cancel.size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!w.window.findChild<dialog_window*>(), 60000); // the answered question is gone

        button.button_clicked();
        buttons_of(w.window.findChild<dialog_window*>())[0]->click(); // STOP FLASHING
        QCOMPARE(cancel.size(), 1);
    }

    // The close icon: the window is enabled again before closed(). The red button: accepted() first,
    // then the dialog closes.
    void dialog_reports_in_order()
    {
        for (const auto& [button, order] : {std::pair{2, QStringList{"open", "host closed", "closed()"}},
                                             std::pair{0, QStringList{"open", "accepted()", "host closed"}}}) {
            stand_in_window window;
            auto* dialog = new dialog_window("Message", "Title", "CONTINUE", "CANCEL", false, &window);
            connect(dialog, &dialog_window::closed, [&window] { window.events << "closed()"; });
            connect(dialog, &dialog_window::accepted, [&window] { window.events << "accepted()"; });
            buttons_of(dialog)[button]->click();
            QCOMPARE(window.events, order);
            QVERIFY(dialog->isHidden());
        }
    }

    void text_input_validation_and_popup()
    {
        QWidget panel;
        text_input field("Worker name", "^(\\(%d\\)|\\(%d,[0-9]+\\)|[a-zA-Z0-9-_]){0,15}$", "Invalid Worker name", &panel);
        field.set_position(136);
        field.setText("rig(%d)");
        QVERIFY(field.is_valid());
        // The shadow lies under the field and around it, a sibling rather than an effect on it.
        const shadow_backdrop* shadow = shadow_backdrop::of(&field);
        QVERIFY(shadow && shadow->parentWidget() == &panel && shadow->geometry().contains(field.geometry()));
        field.setText("abcdefghijklmn(%d,100)"); // the pattern accepts it, but it expands to 17
        QVERIFY(!field.is_valid() && field.styleSheet().contains("#e92424"));
        QCOMPARE(shadow->shadow()->color(), QColor(233, 36, 36, 40));
        QVERIFY(field.popup()->isHidden()); // shown on hover only
        panel.show();
        hover(&field);
        QVERIFY(field.popup()->isVisible());
        hover(&field, false);
        QVERIFY(field.popup()->isVisible());
        field.setText("");
        QVERIFY(field.is_valid() && field.popup()->isHidden() && !field.styleSheet().contains("#e92424"));
    }

    void text_input_context_menu()
    {
        QWidget panel;
        text_input field("", ".*", "", &panel);
        QApplication::clipboard()->setText("from elsewhere");
        std::unique_ptr<QMenu> menu(field.make_context_menu());
        QCOMPARE(entries(menu.get()), (QStringList{"Paste", "Undo"}));
        QApplication::clipboard()->clear();
        menu.reset(field.make_context_menu());
        QCOMPARE(entries(menu.get()), QStringList{"Undo"});

        field.setText("secret");
        menu.reset(field.make_context_menu());
        QCOMPARE(entries(menu.get()), (QStringList{"Copy", "Cut", "Undo"}));
        menu->actions()[0]->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QString("secret"));
        QCOMPARE(field.selectedText(), QString("secret"));
    }

    void tooltip_bubbles_wrap_at_417()
    {
        QWidget panel;
        tooltip longer("Name your mining machine (sometimes referred to as rig name). Have in mind, that worker name is "
                       "limited to alphanumeric characters from English alphabet, a to z, A to Z, 0 to 9 and "
                       "characters - (hyphen), _(underscore).",
                       120, 112, &panel);
        QCOMPARE(longer.pop_up()->width(), 417 + 32);
        tooltip shorter("Put your mining machine into group.", 100, 192, &panel);
        QVERIFY(shorter.pop_up()->width() < 417 + 32 && shorter.pop_up()->isHidden());
        panel.show();
        hover(&shorter);
        QVERIFY(shorter.pop_up()->isVisible());
        hover(&shorter, false);
        QVERIFY(shorter.pop_up()->isHidden());
    }

    void settings_expander_states()
    {
        QWidget panel;
        more_settings expander(&panel);
        QSignalSpy clicked(&expander, &more_settings::clicked);
        QTest::mouseClick(&expander, Qt::LeftButton);
        expander.disable();
        QTest::mouseClick(&expander, Qt::LeftButton);
        QCOMPARE(clicked.size(), 1);
        QCOMPARE(expander.cursor().shape(), Qt::ForbiddenCursor);
        expander.show_less();
        QTest::mouseClick(&expander, Qt::LeftButton);
        QCOMPARE(clicked.size(), 2);
        QVERIFY(expander.findChild<QLabel*>()->text() == "Less settings");
        expander.show_more();
        QCOMPARE(expander.cursor().shape(), Qt::PointingHandCursor);
    }

    void title_bar_drags_hides_and_closes()
    {
        stand_in_window window;
        auto* bar = new titlebar(&window);
        window.move(100, 100);
        window.show();
        const QPoint start = window.pos();
        QTest::mouseMove(bar, QPoint(40, 20)); // no button: nothing moves
        QCOMPARE(window.pos(), start);
        QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QMouseEvent move(QEvent::MouseMove, QPoint(30, 25), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(bar, &move);
        QCOMPARE(window.pos(), start + QPoint(20, 15));
        QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, QPoint(30, 25));

        const auto bar_buttons = buttons_of(bar);
        bar_buttons[0]->click();
        QCOMPARE(window.hides, 1);

        window.flashing = true; // asks first, and only STOP FLASHING closes
        bar_buttons[1]->click();
        auto* dialog = window.findChild<dialog_window*>();
        QVERIFY(dialog && window.isVisible());
        buttons_of(dialog)[1]->click(); // CONTINUE
        QVERIFY(window.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!window.findChild<dialog_window*>(), 60000); // the answered question is gone
        bar_buttons[1]->click();
        buttons_of(window.findChild<dialog_window*>())[0]->click();
        QVERIFY(!window.isVisible());

        window.flashing = false;
        window.show();
        bar_buttons[1]->click();
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(test_widgets)
#include "test_widgets.moc"
