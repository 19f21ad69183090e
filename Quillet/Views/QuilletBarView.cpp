#include "Quillet/Views/QuilletBarView.h"

#include "Platform/Workspace.h"

#include <algorithm>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace quillet {

std::optional<platform::Image> HiddenItemIconCell::iconImage() const {
    if (item.app)
        return item.app->icon();
    return std::nullopt;
}

std::string HiddenItemIconCell::toolTip() const {
    if (item.app)
        if (auto name = item.app->localizedName())
            return *name;
    return "Unknown app";
}

std::vector<HiddenItemIconCell> QuilletBarView::cells() const {
    std::vector<HiddenItemIconCell> out;
    out.reserve(items.size() + alwaysHiddenItems.size());
    for (const auto& item : items)
        out.push_back(HiddenItemIconCell{item, onItemClick, false});
    for (const auto& item : alwaysHiddenItems)
        out.push_back(HiddenItemIconCell{item, onAlwaysHiddenItemClick, true});
    return out;
}

namespace {

// The text folded for a search: decomposed, without combining marks, case-folded.
icu::UnicodeString folded(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const auto* nfd = icu::Normalizer2::getNFDInstance(status);
    auto source = icu::UnicodeString::fromUTF8(text);
    if (U_FAILURE(status) || !nfd)
        return source.foldCase();
    auto decomposed = nfd->normalize(source, status);
    if (U_FAILURE(status))
        return source.foldCase();
    icu::UnicodeString out;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK)
            out.append(c);
        i += U16_LENGTH(c);
    }
    return out.foldCase();
}

} // namespace

bool matchesSearch(const std::string& name, const std::string& query) {
    if (query.empty())
        return true;
    return folded(name).indexOf(folded(query)) >= 0;
}

void QuilletBarHostingView::setRootView(QuilletBarView root) {
    root_ = std::move(root);
    // Cells are keyed by window: those still listed keep their state, the rest go.
    std::map<std::uint32_t, bool> kept;
    for (const auto& cell : root_.cells())
        if (auto it = hovered_.find(cell.item.windowID); it != hovered_.end())
            kept.emplace(cell.item.windowID, it->second);
    hovered_ = std::move(kept);
    changed();
}

bool QuilletBarHostingView::isHovered(std::uint32_t windowID) const {
    auto it = hovered_.find(windowID);
    return it != hovered_.end() && it->second;
}

void QuilletBarHostingView::pointerEnteredView() {
    if (root_.onHoverChange)
        root_.onHoverChange(true);
}

void QuilletBarHostingView::pointerExitedView() {
    if (root_.onHoverChange)
        root_.onHoverChange(false);
}

void QuilletBarHostingView::pointerEnteredCell(std::uint32_t windowID) {
    hovered_[windowID] = true;
    changed();
}

void QuilletBarHostingView::pointerExitedCell(std::uint32_t windowID) {
    hovered_[windowID] = false;
    changed();
}

void QuilletBarHostingView::tapCell(std::uint32_t windowID) {
    // The tap does not say which item: every icon of a group has the same effect.
    for (const auto& cell : root_.cells())
        if (cell.item.windowID == windowID) {
            if (cell.onClick)
                cell.onClick();
            return;
        }
}

void QuilletBarHostingView::setSearchText(std::string text) {
    if (text == searchText_)
        return;
    searchText_ = std::move(text);
    changed();
    if (onSearchChange)
        onSearchChange();
}

std::vector<HiddenItemIconCell> QuilletBarHostingView::visibleCells() const {
    auto cells = root_.cells();
    if (searchText_.empty())
        return cells;
    std::vector<HiddenItemIconCell> out;
    for (auto& cell : cells)
        if (matchesSearch(cell.toolTip(), searchText_))
            out.push_back(std::move(cell));
    return out;
}

bool QuilletBarHostingView::showsDivider() const {
    bool hidden = false, alwaysHidden = false;
    for (const auto& cell : visibleCells())
        (cell.alwaysHidden ? alwaysHidden : hidden) = true;
    return hidden && alwaysHidden;
}

bool QuilletBarHostingView::pressReturn() {
    auto cells = visibleCells();
    if (cells.empty())
        return false;
    tapCell(cells.front().item.windowID);
    return true;
}

bool QuilletBarHostingView::pressEscape() {
    if (searchText_.empty())
        return false;
    setSearchText(std::string());
    return true;
}

} // namespace quillet
