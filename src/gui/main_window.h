#pragma once

#include <QFrame>

#include <string>

// The program's one window. For now an empty frame whose closing ends the event loop.
class main_window : public QFrame {
    Q_OBJECT

public:
    main_window(const std::string& title, const std::string& working_folder, QWidget* parent = nullptr);

private:
    std::string m_working_folder;
};
