#pragma once

#include <QFrame>
#include <QLabel>

#include <string>

// The dark bubble of a tooltip, with its arrow pointing down at the icon.
class tooltip_pop_up : public QFrame {
    Q_OBJECT

public:
    tooltip_pop_up(const std::string& text, int arrow_x, QWidget* parent);
};

// A small information icon next to a form label; hovering it shows its bubble above.
class tooltip : public QLabel {
    Q_OBJECT

public:
    tooltip(const std::string& text, int x, int y, QWidget* parent);
    tooltip_pop_up* pop_up() const { return m_pop_up; }

protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    tooltip_pop_up* m_pop_up;
    QWidget* m_parent;
};
