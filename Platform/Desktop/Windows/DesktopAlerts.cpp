#include "Platform/Desktop/Windows/DesktopAlerts.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <memory>

namespace desktop {

std::unique_ptr<QMessageBox> DesktopAlerts::makeBox(const platform::AlertSpec& alert) {
    auto box = std::make_unique<QMessageBox>();
    switch (alert.style) {
    case platform::AlertStyle::warning:
        box->setIcon(QMessageBox::Warning);
        break;
    case platform::AlertStyle::informational:
        box->setIcon(QMessageBox::Information);
        break;
    case platform::AlertStyle::critical:
        box->setIcon(QMessageBox::Critical);
        break;
    }
    box->setWindowTitle(QStringLiteral("Quillet"));
    // Alert texts are plain text: nothing in them (a version from a feed, a file name) is
    // ever read as markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(QString::fromStdString(alert.messageText));
    box->setInformativeText(QString::fromStdString(alert.informativeText));
    box->setWindowModality(Qt::ApplicationModal);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);

    // An alert without buttons gets the platform's single "OK".
    std::vector<std::string> titles = alert.buttons;
    if (titles.empty())
        titles.push_back("OK");
    for (std::size_t i = 0; i < titles.size(); ++i) {
        // Roles keep Qt from reordering: the first button is the default, as on a Mac.
        auto* b = box->addButton(QString::fromStdString(titles[i]), QMessageBox::ActionRole);
        b->setProperty("quilletAnswer", platform::alertFirstButtonReturn + static_cast<int>(i));
        if (i == 0)
            box->setDefaultButton(b);
        if (i + 1 == titles.size())
            box->setEscapeButton(b);
    }
    return box;
}

int DesktopAlerts::answerFor(const QMessageBox& box) {
    if (auto* clicked = box.clickedButton()) {
        bool ok = false;
        int answer = clicked->property("quilletAnswer").toInt(&ok);
        if (ok)
            return answer;
    }
    // Closed without a choice (Escape or the window's close button): the last button, which
    // is the one that declines when there are several.
    const auto buttons = box.buttons();
    return platform::alertFirstButtonReturn +
           static_cast<int>(std::max<qsizetype>(buttons.size(), 1) - 1);
}

int DesktopAlerts::runModal(const platform::AlertSpec& alert) {
    auto box = makeBox(alert);
    if (onShow)
        onShow(*box);
    box->exec();
    return answerFor(*box);
}

} // namespace desktop
