#include "Platform/Desktop/Windows/MenuPresenter.h"

#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Platform/Menu.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QPointer>
#include <functional>
#include <vector>

namespace desktop {

namespace {

// Menus take the strip's colours rather than the stock palette; a submenu is a window of its
// own, which a parent's palette does not reach.
void applyAppearance(QMenu& qmenu) {
    if (auto* appearance = DesktopAppearance::current())
        qmenu.setPalette(appearance->menus());
}

// Fills `qmenu` with `menu`'s items; `onChosen` records a chosen item of a submenu, whose
// action then runs once everything has closed.
void fill(QMenu& qmenu, platform::Menu& menu, std::vector<QAction*>& actions,
          std::function<void()>& submenuChoice, int depth) {
    for (const auto& entry : menu.items()) {
        if (entry.isSeparator) {
            actions.push_back(qmenu.addSeparator());
            continue;
        }
        if (entry.submenu && depth < 4) {
            auto* sub = qmenu.addMenu(QString::fromStdString(entry.title));
            applyAppearance(*sub);
            std::vector<QAction*> subActions;
            fill(*sub, *entry.submenu, subActions, submenuChoice, depth + 1);
            std::weak_ptr<platform::Menu> weakSub = entry.submenu;
            for (std::size_t i = 0; i < subActions.size(); ++i)
                QObject::connect(subActions[i], &QAction::triggered, sub,
                                 [weakSub, i, &submenuChoice] {
                                     submenuChoice = [weakSub, i] {
                                         auto m = weakSub.lock();
                                         if (!m || i >= m->items().size())
                                             return;
                                         auto action = m->items()[i].action;
                                         if (action)
                                             action();
                                     };
                                 });
            actions.push_back(sub->menuAction());
            continue;
        }
        auto* a = qmenu.addAction(QString::fromStdString(entry.title));
        if (!entry.keyEquivalent.empty())
            a->setShortcut(QKeySequence(QStringLiteral("Ctrl+") +
                                        QString::fromStdString(entry.keyEquivalent).toUpper()));
        a->setCheckable(entry.state == platform::ControlState::on);
        a->setChecked(entry.state == platform::ControlState::on);
        a->setEnabled(static_cast<bool>(entry.action));
        actions.push_back(a);
    }
}

QPointer<QMenu> shown;

} // namespace

QMenu* openMenu() {
    return shown.data();
}

QAction* execMenu(QMenu& menu, QPoint at) {
    // Every menu shown takes the strip's colours, other programs' tray menus included.
    applyAppearance(menu);
    for (auto* sub : menu.findChildren<QMenu*>())
        applyAppearance(*sub);
    // A menu opened from inside another (a nested loop) does not replace the outer one.
    const QPointer<QMenu> outer = shown;
    if (!outer)
        shown = &menu;
    QAction* chosen = menu.exec(at);
    if (!outer)
        shown = nullptr;
    return chosen;
}

void presentMenu(platform::Menu& menu, QPoint at) {
    std::function<void()> submenuChoice;
    menu.present([&](platform::Menu& m) -> std::optional<std::size_t> {
        QMenu qmenu;
        applyAppearance(qmenu);
        std::vector<QAction*> actions;
        fill(qmenu, m, actions, submenuChoice, 0);
        QAction* chosen = execMenu(qmenu, at);
        for (std::size_t i = 0; i < actions.size(); ++i)
            if (chosen && actions[i] == chosen)
                return i;
        return std::nullopt;
    });
    if (submenuChoice)
        submenuChoice();
}

} // namespace desktop
