// Menus: items with title, action, key equivalent and state, separators, and a delegate told
// when the menu opens and closes. Plain state shared by both hosts; each host presents a menu
// attached to a status item when its button is clicked. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Menu;

enum class ControlState { off = 0, on = 1 };

struct MenuItem {
    std::string title;
    std::function<void()> action;
    // With the default Command modifier; empty for none.
    std::string keyEquivalent;
    ControlState state = ControlState::off;
    bool isSeparator = false;
    // The menu this item opens: the top-level items of a main menu ("Quillet", "Edit") each
    // have one; none for ordinary items.
    std::shared_ptr<Menu> submenu = nullptr;

    static MenuItem separator() {
        MenuItem item;
        item.isSeparator = true;
        return item;
    }
};

class MenuDelegate {
public:
    virtual ~MenuDelegate() = default;
    virtual void menuWillOpen(Menu& /*menu*/) {}
    virtual void menuDidClose(Menu& /*menu*/) {}
};

class Menu {
public:
    explicit Menu(std::string title = {}) : title_(std::move(title)) {}

    const std::string& title() const { return title_; }
    void addItem(MenuItem item) { items_.push_back(std::move(item)); }
    const std::vector<MenuItem>& items() const { return items_; }
    std::shared_ptr<MenuDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<MenuDelegate> d) { delegate_ = std::move(d); }

    // --- host side: presenting the menu ---
    // Runs the open/close protocol around `track`, which shows the menu until it closes and
    // returns the index of the chosen item, if any. The chosen item's action runs after the
    // menu has closed, as the platform sends it.
    void present(const std::function<std::optional<std::size_t>(Menu&)>& track);

private:
    std::string title_;
    std::vector<MenuItem> items_;
    std::weak_ptr<MenuDelegate> delegate_;
};

} // namespace platform
