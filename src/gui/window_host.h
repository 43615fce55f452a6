#pragma once

// What the confirmation dialog and the title bar ask of the window they belong to.
class window_host {
public:
    virtual ~window_host() = default;
    // A dialog is up: the action button and the title bar wait for it.
    virtual void dialog_window_open() = 0;
    virtual void dialog_window_closed() = 0;
    virtual bool is_flashing() const = 0;
};
