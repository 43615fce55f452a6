// The window in a user's hands. What it shows on the screen must be what it draws: after clicks,
// typing, dialogs, banners and drives coming and going, the screen (the off-screen platform's
// backing store, or an X server's framebuffer) is compared with a fresh rendering of the window.
// And a run holds what it started with while all that goes on.
#include "window_fixture.h"
#include "x_display.h"

#include "src/gui/dialog_window.h"
#include "src/gui/more_settings.h"
#include "src/gui/titlebar.h"

#include <QPushButton>
#include <QScreen>
#include <QSequentialAnimationGroup>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>

namespace {

bool on_x_server()
{
    return QGuiApplication::platformName() == "xcb";
}

// The window as the screen shows it. An X server without a compositor shows translucent parts
// over black, as premultiplied colours are; the off-screen platform keeps no alpha at all and
// leaves translucent parts undefined, so there only the opaque card is compared.
QImage on_screen(QWidget* window)
{
    QScreen* screen = window->screen();
    const QRect area = window->frameGeometry();
    const QPixmap shot = on_x_server() ? screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                                       : screen->grabWindow(window->winId());
    return shot.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Pixels that differ by more than rounding and anti-aliasing explain, and where they lie.
int differing_pixels(const QImage& screen, const QImage& rendering, QRect* where)
{
    const int channel_tolerance = 12;
    int count = 0;
    for (int y = 0; y < qMin(screen.height(), rendering.height()); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(screen.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(rendering.constScanLine(y));
        for (int x = 0; x < qMin(screen.width(), rendering.width()); ++x) {
            if (!on_x_server() && qAlpha(b[x]) != 255)
                continue;
            if (std::max({qAbs(qRed(a[x]) - qRed(b[x])), qAbs(qGreen(a[x]) - qGreen(b[x])), qAbs(qBlue(a[x]) - qBlue(b[x]))})
                > channel_tolerance) {
                ++count;
                *where |= QRect(x, y, 1, 1);
            }
        }
    }
    return count;
}

// Waits until the screen stops changing (animations, queued repaints), then compares.
void expect_screen_matches_drawing(QWidget* window, const QString& when)
{
    QImage last, now = on_screen(window);
    QElapsedTimer waited;
    waited.start();
    while (now != last) {
        QVERIFY2(waited.elapsed() < 60000, qPrintable(when + ": waited a minute for the screen to stop changing"));
        QTest::qWait(60); // a frame of the animations and more
        last = now;
        now = on_screen(window);
    }
    // Repaints already asked for are done first; nothing else runs until both pictures are taken.
    QCoreApplication::sendPostedEvents(window, QEvent::UpdateRequest);
    const QImage screen = on_screen(window);
    const QImage rendering = window->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(screen.size(), rendering.size());
    QRect where;
    const int count = differing_pixels(screen, rendering, &where);
    if (count > 0) {
        const QString folder = QDir::tempPath() + "/kelvra-painting-" + QGuiApplication::platformName();
        const QString name = folder + "/" + QString(when).replace(QRegularExpression("[^a-z0-9]+"), "-");
        QDir().mkpath(folder);
        screen.save(name + "-screen.png");
        rendering.save(name + "-drawn.png");
        QFAIL(qPrintable(QString("%1: %2 pixels differ from the window's own rendering within (%3,%4 %5x%6); see %7")
                             .arg(when).arg(count).arg(where.x()).arg(where.y()).arg(where.width()).arg(where.height()).arg(folder)));
    }
}

// A left click where the user would click, delivered to whatever lies there.
void click_at(QWidget* window, QPoint point)
{
    QWidget* target = window->childAt(point);
    target = target ? target : window;
    QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, target->mapFrom(window, point));
}

const QPoint empty_card_space(450, 95);

// Compared as it is, and again after a click on the card's empty space takes the focus away.
void expect_screen_matches_drawing_before_and_after_a_click(QWidget* window, const QString& when)
{
    expect_screen_matches_drawing(window, when);
    click_at(window, empty_card_space);
    expect_screen_matches_drawing(window, when + ", card clicked");
}

// The pointer moved over a point of the window, as the user's hand moves it.
void point_at(QWidget* window, QPoint point)
{
    if (on_x_server())
        QCursor::setPos(window->mapToGlobal(point));
    else
        QTest::mouseMove(window->windowHandle(), point);
}

// Whether the screen shows the forbidden cursor: on an X server, by the name of the cursor it
// draws (one of the names Qt looks that cursor up by); off screen, the cursor Qt gave the window.
bool forbidden_shown(QWidget* window)
{
    if (!on_x_server())
        return window->windowHandle()->cursor().shape() == Qt::ForbiddenCursor;
    return QStringList{"forbidden", "not-allowed", "crossed_circle", "circle"}.contains(
        x_cursor_name(qEnvironmentVariable("DISPLAY")));
}

} // namespace

class test_window_painting : public QObject, window_fixture {
    Q_OBJECT

    // The release is found and its download goes on for minutes.
    void serve_slowly() { publish(QByteArray(64 * 1024 * 1024, 'x'), 100); }

    // Types into the BTC field as a user would, one key at a time.
    static void type_address(parts& p, const char* text)
    {
        p.fields[0]->setFocus(Qt::MouseFocusReason);
        QTest::keyClicks(p.fields[0], text);
    }

private slots:
    void initTestCase()
    {
        // A blinking text cursor would change the screen between the two pictures.
        QApplication::setCursorFlashTime(0);
        m_window_flags = Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint;
    }

    void init() { set_up_case(); }

    void idle_with_no_one_or_two_drives()
    {
        parts p = open_window("");
        expect_screen_matches_drawing_before_and_after_a_click(p.window.get(), "no drive");

        add_stick(16000000000LL);
        QTRY_VERIFY_WITH_TIMEOUT(p.drives->has_valid_device(), 60000);
        type_address(p, btc);
        expect_screen_matches_drawing_before_and_after_a_click(p.window.get(), "one drive, address typed");

        add_stick(8000000000LL, "sdc");
        QTRY_COMPARE_WITH_TIMEOUT(p.drives->findChildren<device_selection_widget*>().size(), 2, 60000);
        expect_screen_matches_drawing(p.window.get(), "two drives");
        QTest::mouseClick(p.drives, Qt::LeftButton, Qt::NoModifier, QPoint(200, 30));
        QVERIFY(p.drives->list_visible());
        expect_screen_matches_drawing_before_and_after_a_click(p.window.get(), "list open");
        QVERIFY(!p.drives->list_visible());
    }

    void form_expanded_and_banner()
    {
        add_stick(16000000000LL);
        parts p = open_window("");
        p.window->findChild<more_settings*>()->clicked();
        QTRY_COMPARE_WITH_TIMEOUT(p.window->size(), QSize(610, 985), 60000);
        QTest::keyClicks(p.fields[1], "rig name");
        expect_screen_matches_drawing(p.window.get(), "form expanded, worker refused");
        QTest::keyClick(p.fields[1], Qt::Key_Home);
        click_at(p.window.get(), empty_card_space);
        expect_screen_matches_drawing(p.window.get(), "form expanded, worker refused, card clicked");

        p.window->os_configuration();
        QTRY_COMPARE_WITH_TIMEOUT(p.window->size(), QSize(610, 585), 60000);
        p.window->set_error_msg_text("Empty BTC address!", true);
        auto* banner = p.window->findChild<QSequentialAnimationGroup*>();
        QVERIFY(banner);
        banner->pause(); // held grown while it is looked at, however slow the machine
        banner->setCurrentTime(1000);
        expect_screen_matches_drawing(p.window.get(), "banner");
        type_address(p, btc);
        expect_screen_matches_drawing_before_and_after_a_click(p.window.get(), "banner, address typed");
        banner->resume();
        QTRY_COMPARE_WITH_TIMEOUT(p.window->size(), QSize(610, 585), 60000);
        expect_screen_matches_drawing(p.window.get(), "after the banner");
    }

    void confirmation_for_a_large_drive()
    {
        add_stick(128000000000LL);
        parts p = open_window("");
        type_address(p, "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNV");
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(p.window->findChild<dialog_window*>(), 60000);
        expect_screen_matches_drawing(p.window.get(), "confirm dialog");
        type_address(p, "N2");
        expect_screen_matches_drawing_before_and_after_a_click(p.window.get(), "confirm dialog, address typed behind it");
        add_stick(8000000000LL, "sdc");
        QTRY_COMPARE_WITH_TIMEOUT(p.drives->findChildren<device_selection_widget*>().size(), 2, 60000);
        expect_screen_matches_drawing(p.window.get(), "confirm dialog, second stick");
    }

    void running_with_its_dialogs()
    {
        add_stick(16000000000LL);
        serve_slowly();
        parts p = open_window("");
        type_address(p, btc);
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(p.button->fill_pixels() > 0, 60000);
        expect_screen_matches_drawing_before_and_after_a_click(p.window.get(), "running");
        add_stick(8000000000LL, "sdc");
        QTRY_COMPARE_WITH_TIMEOUT(p.drives->findChildren<device_selection_widget*>().size(), 2, 60000);
        expect_screen_matches_drawing(p.window.get(), "running, second stick");

        p.button->button_clicked();
        QVERIFY(question(p));
        expect_screen_matches_drawing_before_and_after_a_click(p.window.get(), "stop dialog");
        question(p)->findChildren<QPushButton*>().value(1)->click(); // CONTINUE
        QTRY_VERIFY_WITH_TIMEOUT(!question(p), 60000);
        expect_screen_matches_drawing(p.window.get(), "running again");

        p.window->findChild<titlebar*>()->findChildren<QPushButton*>().value(1)->click(); // the close cross
        QTRY_VERIFY_WITH_TIMEOUT(p.window->findChildren<dialog_window*>().size() >= 1, 60000);
        expect_screen_matches_drawing(p.window.get(), "stop dialog of the title bar");
        p.window->cancel();
    }

    // Between the press and the end of a run, drives come and go and the address is edited: the
    // run keeps its button (a click asks to stop) and its drive list stays shut.
    void a_run_holds_its_button_and_its_drive_list()
    {
        add_stick(128000000000LL); // asks first
        serve_slowly();
        parts p = open_window();
        p.button->button_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(p.window->findChild<dialog_window*>(), 60000);
        QTest::keyClick(p.fields[0], Qt::Key_Backspace);
        QTest::keyClicks(p.fields[0], "2");
        add_stick(8000000000LL, "sdc");
        QTRY_VERIFY_WITH_TIMEOUT(p.drives->arrow_shown(), 60000);
        p.window->findChild<dialog_window*>()->findChildren<QPushButton*>()[1]->click(); // CONTINUE
        QTRY_VERIFY_WITH_TIMEOUT(p.button->fill_pixels() > 0, 60000);

        add_stick(8000000000LL, "sdd");
        QTRY_COMPARE_WITH_TIMEOUT(p.drives->findChildren<device_selection_widget*>().size(), 3, 60000);
        QVERIFY(!p.drives->isEnabled() && !p.drives->arrow_shown());
        for (QWidget* locked : {static_cast<QWidget*>(p.drives), static_cast<QWidget*>(p.fields[0])}) {
            point_at(p.window.get(), empty_card_space);
            QTRY_VERIFY2_WITH_TIMEOUT(!forbidden_shown(p.window.get()), "the arrow over the card", 60000);
            point_at(p.window.get(), locked->mapTo(p.window.get(), locked->rect().center()));
            QTRY_VERIFY2_WITH_TIMEOUT(forbidden_shown(p.window.get()), "the forbidden cursor over a locked control",
                                      60000);
        }
        QTest::mouseClick(p.drives, Qt::LeftButton);
        QVERIFY(!p.drives->list_visible());

        const int dialogs = p.window->findChildren<dialog_window*>().size();
        p.button->button_clicked();
        QCOMPARE(p.window->findChildren<dialog_window*>().size(), dialogs + 1); // "Stop flashing?"
        QCOMPARE(m_server->requests().count(http_test_server::release_path), 1); // no second run

        p.window->cancel();
        QVERIFY(p.drives->isEnabled() && p.drives->arrow_shown());
        QTRY_VERIFY2_WITH_TIMEOUT(!forbidden_shown(p.window.get()), "the address field open again", 60000);
        QTest::mouseClick(p.drives, Qt::LeftButton);
        QVERIFY(p.drives->list_visible());
    }

    // The same comparisons on a real X server, when one can be started here.
    void on_an_x_server()
    {
        if (on_x_server() || qEnvironmentVariableIsSet("KELVRA_PAINTING_CHILD"))
            QSKIP("this run is the one on the X server");
        if (QStandardPaths::findExecutable("Xvfb").isEmpty())
            QSKIP("Xvfb is not installed");
        const x_server server;
        QVERIFY2(!server.display().isEmpty(), "Xvfb did not report its display");

        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", server.display());
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("KELVRA_PAINTING_CHILD", "1");
        // The X platform's D-Bus and plugin libraries keep memory until the process ends; the
        // window's own leaks are looked for in the off-screen run.
        const QString sanitizer = environment.value("ASAN_OPTIONS");
        environment.insert("ASAN_OPTIONS", (sanitizer.isEmpty() ? "" : sanitizer + ":") + "detect_leaks=0");
        run.setProcessEnvironment(environment);
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QCoreApplication::applicationFilePath(), QStringList());
        const bool finished = run.waitForFinished(480000);
        const QByteArray output = run.readAll();
        const bool passed = finished && run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0
            && output.contains(" 0 failed");
        if (!passed)
            std::fprintf(stderr, "The run on the X server:\n%s\n", output.constData());
        QVERIFY2(passed, "the comparisons on the X server failed (their output is above)");
    }
};

QTEST_MAIN(test_window_painting)
#include "test_window_painting.moc"
