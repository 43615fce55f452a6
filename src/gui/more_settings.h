#pragma once

#include <QFrame>

class QLabel;

// The blue "Additional settings (optional)" / "Less settings" link with its arrow. It does not
// toggle itself: the window decides which look comes next.
class more_settings : public QFrame {
    Q_OBJECT

public:
    explicit more_settings(QWidget* parent);
    bool is_enabled() const { return m_enabled; }

signals:
    void clicked();

public slots:
    void show_more();
    void show_less();
    void disable();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void m_set_look(const QString& text, const char* colour, const QPixmap& arrow, bool enabled, Qt::CursorShape cursor);

    QLabel* m_text;
    QLabel* m_arrow;
    bool m_enabled = true;
};
