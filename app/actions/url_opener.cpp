#include "app/actions/url_opener.h"

#include <QByteArray>
#include <QDesktopServices>
#include <QUrl>

namespace squeakbox {

url_opener desktop_url_opener() {
    return [](const std::string& url) {
        // Strict parsing keeps our percent-encoding as it is: a tolerant parse
        // could "repair" an escaped & or = in a mail body into a delimiter.
        const QUrl parsed = QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::StrictMode);
        if (!parsed.isValid()) return false;
        return QDesktopServices::openUrl(parsed);
    };
}

}  // namespace squeakbox
