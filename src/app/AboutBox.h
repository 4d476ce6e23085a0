#pragma once

#include <QString>

class QMessageBox;
class QWidget;

namespace telvane {

// Where the credits line of the about box links to.
inline constexpr const char* kVendorAddress = "https://telvane.org/";

// The about box's text: the application's display name and version (from
// the application's metadata) and the credits line as a link.
[[nodiscard]] QString aboutText();

// Opens the about box "Über Telvane" over `parent`, window-modal, without
// blocking; an about box that is already open is brought forward instead.
QMessageBox* showAboutBox(QWidget* parent);

}  // namespace telvane
