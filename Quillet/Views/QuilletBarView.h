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

    std::vector<HiddenItem> items;
    std::function<void()> onItemClick;
    std::function<void(bool)> onHoverChange;

    bool showsEmptyState() const { return items.empty(); }
    // One cell per item, in list order, each running onItemClick when tapped.
    std::vector<HiddenItemIconCell> cells() const;
};

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

private:
    QuilletBarView root_;
    std::map<std::uint32_t, bool> hovered_;
};

} // namespace quillet
