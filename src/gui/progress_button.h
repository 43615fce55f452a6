#pragma once

#include <QWidget>

#include <string>

class QFrame;
class QLabel;
class QPushButton;

// The window's one action button: "FLASH" when idle, one progress bar over download,
// decompression and writing while a run goes on, "FLASH ANOTHER?" when done. Which child frame is
// on top decides both the look and whether a click reaches the button.
class progress_button : public QWidget {
    Q_OBJECT

public:
    explicit progress_button(QWidget* parent);

    // Pixels of fill for a percentage: 5.56 per percent, clamped to the button.
    static int fill_width(double percent);

    // What the button shows: the fill in pixels, the progress caption, and whether a click
    // reaches it (the click surface is the topmost child).
    int fill_pixels() const;
    QString caption_text() const;
    bool clickable() const;
    // Pressed, and its run neither done nor called off: a click now asks to stop.
    bool in_run() const { return m_flashing; }

signals:
    void clicked();
    void cancel();
    void done();

public slots:
    void report_download_progress(qint64 recieved, qint64 total);
    void report_progress_inflate(qint64 recieved, qint64 total);
    void report_progress(qint64 recieved, qint64 total);
    void button_clicked();
    void reset();
    void disable();

protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void m_update_text(double percent);
    void m_fill(double percent);

    QPushButton* m_click_surface;
    QFrame* m_idle_frame;
    QFrame* m_fill_frame;
    QFrame* m_track_frame;
    QFrame* m_done_frame;
    QLabel* m_fill_label;
    QLabel* m_track_label;
    QFrame* m_disabled_frame;
    std::string m_caption = "FLASH";
    bool m_flashing = false;
    bool m_hovered = false;
    bool m_done = false;
    double m_base = 0;
};
