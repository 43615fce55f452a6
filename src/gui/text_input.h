#pragma once

#include <QFrame>
#include <QLineEdit>

#include <string>

class QMenu;

// The dark bubble above a field that holds an invalid text, with the field's error message.
class text_input_popup : public QFrame {
    Q_OBJECT

public:
    text_input_popup(const std::string& text, QWidget* parent);
};

// A single-line field that checks its text against its own pattern (and the worker-name length
// rule) on every change, turning red with an error bubble on hover while the text is refused.
class text_input : public QLineEdit {
    Q_OBJECT

public:
    text_input(const std::string& placeholder, const std::string& pattern, const std::string& error_text,
               QWidget* parent);

    bool is_valid() const { return m_valid; }
    // The field at (24, y) and its bubble right above it.
    void set_position(int y);
    text_input_popup* popup() const { return m_popup; }
    // The short styled menu a right click shows; the caller owns it.
    QMenu* make_context_menu();

signals:
    void pressed();

public slots:
    void validate_text();

protected:
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void enterEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    text_input_popup* m_popup;
    std::string m_pattern;
    bool m_valid = true;
};
