// The content of the hidden-items panel: one icon per hidden item, or "Nothing tucked away".
// A view model: the desktop renders it with QuilletBarView.qml, tests read and tap it.
#pragma once

#include "Platform/Symbols.h"
#include "Platform/View.h"
#include "Quillet/HiddenItems/HiddenItem.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

// One icon: the owning application's icon (or a placeholder symbol), a hover highlight, the
// application's name as tooltip, and a tap that runs the view's click callback.
struct HiddenItemIconCell {
    HiddenItem item;
    std::function<void()> onClick;
    // Listed after the divider: the item lies in the always-hidden section.
    bool alwaysHidden = false;

    // The application's icon when it has one; otherwise none, and the placeholder is drawn.
    std::optional<platform::Image> iconImage() const;
    bool showsPlaceholder() const { return !iconImage().has_value(); }
    // The application's localized name; "Unknown app" without one.
    std::string toolTip() const;
};

struct QuilletBarView {
    // Layout, in points.
    static constexpr double cornerRadius = 12;
    static constexpr double borderWidth = 1;
    static constexpr double borderWhiteOpacity = 0.12;
    static constexpr double iconSize = 22;
    static constexpr double spacing = 8;
    static constexpr double inset = 10;
    static constexpr double highlightCornerRadius = 6;
    static constexpr double highlightWhiteOpacity = 0.16;
    static constexpr double highlightOutset = 4;
    static constexpr double placeholderFontSize = 16;
    static constexpr double emptyFontSize = 12;
    static constexpr const char* placeholderSymbol = "app.dashed";
    static constexpr const char* emptyText = "Nothing tucked away";
    // The thin line between the hidden and the always-hidden items.
    static constexpr double dividerWidth = 1;
    static constexpr double dividerWhiteOpacity = 0.25;

    std::vector<HiddenItem> items;
    // Items of the always-hidden section, listed after the others.
    std::vector<HiddenItem> alwaysHiddenItems;
    std::function<void()> onItemClick;
    std::function<void()> onAlwaysHiddenItemClick;
    std::function<void(bool)> onHoverChange;

    bool showsEmptyState() const { return items.empty() && alwaysHiddenItems.empty(); }
    // One cell per item, hidden ones first then the always-hidden ones, each running its
    // group's click callback when tapped.
    std::vector<HiddenItemIconCell> cells() const;
};

// Whether `name` contains `query`, ignoring case and accents ("é" matches "E"); an empty query
// matches everything.
bool matchesSearch(const std::string& name, const std::string& query);

// The panel's hosting view: holds the root view and the view state that outlives a new root
// (each cell's hover flag, kept while the same window stays in the list).
class QuilletBarHostingView final : public platform::ViewModel {
public:
    explicit QuilletBarHostingView(QuilletBarView root) { setRootView(std::move(root)); }

    std::string viewName() const override { return "QuilletBarView"; }
    const QuilletBarView& rootView() const { return root_; }
    void setRootView(QuilletBarView root);

    bool isHovered(std::uint32_t windowID) const;
    double highlightOpacity(std::uint32_t windowID) const {
        return isHovered(windowID) ? QuilletBarView::highlightWhiteOpacity : 0.0;
    }

    // --- what the user does ---
    void pointerEnteredView();
    void pointerExitedView();
    void pointerEnteredCell(std::uint32_t windowID);
    void pointerExitedCell(std::uint32_t windowID);
    // A tap anywhere in a cell's area, transparent parts of the icon included.
    void tapCell(std::uint32_t windowID);

    // --- search, while the panel has the keyboard focus ---
    // Called after the search text changed (the shown cells may have).
    std::function<void()> onSearchChange;
    // The text typed so far; it outlives a new root.
    const std::string& searchText() const { return searchText_; }
    void setSearchText(std::string text);
    void typeText(const std::string& text) { setSearchText(searchText_ + text); }
    // The cells whose owner's name matches the search text, in the cells' order.
    std::vector<HiddenItemIconCell> visibleCells() const;
    // Whether a divider shows: hidden and always-hidden cells are both visible.
    bool showsDivider() const;
    // Return: taps the first visible cell; false when none is shown.
    bool pressReturn();
    // Escape: clears the search text and returns true; with no text, false (the panel closes).
    bool pressEscape();

private:
    QuilletBarView root_;
    std::map<std::uint32_t, bool> hovered_;
    std::string searchText_;
};

} // namespace quillet
