#pragma once

#include "src/device/device.h"

#include <QFrame>
#include <QWidget>

#include <memory>
#include <vector>

class QLabel;
class QListWidget;
class device_selection;

// One row of the drop-down list: a drive with its icon, name and size.
class device_selection_widget : public QWidget {
    Q_OBJECT

public:
    device_selection_widget(std::shared_ptr<device> device, device_selection* owner);

signals:
    void clicked(std::shared_ptr<device> device);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    std::shared_ptr<device> m_device;
    device_selection* m_owner;
};

// The block through which the user picks the drive: a header with the state or the chosen drive,
// and a drop-down list when two or more drives are attached.
class device_selection : public QFrame {
    Q_OBJECT

public:
    explicit device_selection(QWidget* parent);

    void update_devices_list(std::vector<std::shared_ptr<device>> devices);
    void collapse_list();
    // Locked while a run goes on: disabled, the forbidden cursor, no arrow, and the list stays
    // shut whatever drives come and go meanwhile.
    void set_locked(bool locked);
    bool has_valid_device() const { return m_valid; }
    std::shared_ptr<device> get_selected_device() const { return m_selected; }
    const std::vector<std::shared_ptr<device>>& listed() const { return m_devices; }

    // "16", "15.5", "15.53": two decimals without trailing zeros, the integer part whole.
    static QString two_decimals(double value);
    static constexpr uint64_t smallest_usable = 2000000000;

    // What tells a drive apart from another listed one of the same name and size, to be added to
    // its size ("- port 2-1.3", else "- serial ..."); empty when no such twin is listed.
    QString told_apart(const device& drive) const;

    QString title_text() const;
    QString subtitle_text() const;
    bool list_visible() const;
    bool arrow_shown() const;

signals:
    void item_selected();

public slots:
    void select_device(std::shared_ptr<device> device);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void m_device_selected();
    void m_no_drive_state();
    void m_prompt_state();
    void m_fit_labels();
    int m_list_height() const;
    void m_show_openable();

    QWidget* m_parent_window;
    std::vector<std::shared_ptr<device>> m_devices;
    std::shared_ptr<device> m_selected;
    QListWidget* m_list;
    bool m_expandable = false;
    bool m_locked = false;
    bool m_valid = false;
    QFrame* m_background;
    QLabel* m_title;
    QLabel* m_subtitle;
    QLabel* m_arrow;
};
