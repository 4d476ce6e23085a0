#pragma once

// Fonts, colours and icons shared by the settings window's widgets. Icons
// come from the application's resources, never from the desktop's theme.

#include <QFont>
#include <QIcon>

class QLabel;
class QWidget;

namespace telvane::style {

// Sizes relative to the widget's own font, so that the user's font size wins.
[[nodiscard]] QFont titleFont(const QFont& base);         // large and bold
[[nodiscard]] QFont captionFont(const QFont& base);       // small
[[nodiscard]] QFont smallCaptionFont(const QFont& base);  // smaller

// Dims the widget's text (the palette's placeholder colour); `tertiary` dims more.
void makeSecondary(QWidget* widget, bool tertiary = false);

// A label for text that comes from users or the broker: never rich text.
[[nodiscard]] QLabel* plainLabel(const QString& text, QWidget* parent = nullptr);

[[nodiscard]] QIcon dotIcon();          // a topic level: small filled blue circle
[[nodiscard]] QIcon checkmarkIcon();    // a topic subscribed already
[[nodiscard]] QIcon addIcon();          // filled circle with a plus
[[nodiscard]] QIcon removeIcon();       // circle with a minus
[[nodiscard]] QIcon tlsBrokerIcon();    // a broker announced for TLS: closed blue padlock
[[nodiscard]] QIcon plainBrokerIcon();  // a broker announced without TLS: blue antenna with radio waves
[[nodiscard]] QIcon searchIcon();       // magnifying glass

}  // namespace telvane::style
