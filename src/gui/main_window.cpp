#include "src/gui/main_window.h"

#include <QCoreApplication>

main_window::main_window(const std::string& title, const std::string& working_folder, QWidget* parent)
    : QFrame(parent), m_working_folder(working_folder)
{
    setWindowTitle(QCoreApplication::translate("mainWindow", title.c_str()));
    setFixedSize(480, 600);
}
