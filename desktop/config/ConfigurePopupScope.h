#pragma once

#include "desktop/config/Configure.h"

// Marks the time in which this dialog's own popups (message boxes, file
// dialogs, the add-channel dialog, what a programming run shows) may hold the
// focus: coming back from them is no return to the dialog.
class TConfigForm::PopupScope {
public:
    explicit PopupScope(TConfigForm &form) : m_form(form) { ++m_form.m_popupDepth; }
    ~PopupScope() { --m_form.m_popupDepth; }
    PopupScope(const PopupScope &) = delete;
    PopupScope &operator=(const PopupScope &) = delete;

private:
    TConfigForm &m_form;
};
