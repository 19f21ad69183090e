#include "QuilletDesktop/QuilletBarViewAdapter.h"

#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/Symbols.h"
#include "Quillet/Views/QuilletBarView.h"

#include <QUrl>

namespace quilletdesktop {

using desktop::imageSource;
using desktop::symbolImageSource;

// --- cells ---

int HiddenItemCellsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(cells_.size());
}

QVariant HiddenItemCellsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 ||
        static_cast<std::size_t>(index.row()) >= cells_.size())
        return {};
    const auto& c = cells_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case WindowIDRole:
        return QVariant::fromValue<quint32>(c.windowID);
    case Qt::ToolTipRole:
    case ToolTipRole:
        return c.toolTip;
    case IconSourceRole:
        return c.iconSource;
    case ShowsPlaceholderRole:
        return c.iconSource.isEmpty();
    case HoveredRole:
        return c.hovered;
    case HighlightOpacityRole:
        return c.highlightOpacity;
    case AlwaysHiddenRole:
        return c.alwaysHidden;
    case DividerBeforeRole:
        return c.dividerBefore;
    default:
        return {};
    }
}

QHash<int, QByteArray> HiddenItemCellsModel::roleNames() const {
    return {{WindowIDRole, "windowID"},         {ToolTipRole, "toolTip"},
            {IconSourceRole, "iconSource"},     {ShowsPlaceholderRole, "showsPlaceholder"},
            {HoveredRole, "hovered"},           {HighlightOpacityRole, "highlightOpacity"},
            {AlwaysHiddenRole, "alwaysHidden"}, {DividerBeforeRole, "dividerBefore"}};
}

void HiddenItemCellsModel::update(std::vector<Cell> cells) {
    bool sameWindows = cells.size() == cells_.size();
    for (std::size_t i = 0; sameWindows && i < cells.size(); ++i)
        sameWindows = cells[i].windowID == cells_[i].windowID;
    if (!sameWindows) {
        beginResetModel();
        cells_ = std::move(cells);
        endResetModel();
        return;
    }
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i] == cells_[i])
            continue;
        cells_[i] = std::move(cells[i]);
        const auto row = index(static_cast<int>(i));
        emit dataChanged(row, row);
    }
}

// --- the view ---

QuilletBarViewAdapter::QuilletBarViewAdapter(std::shared_ptr<quillet::QuilletBarHostingView> model,
                                             QObject* parent)
    : QObject(parent), model_(model) {
    if (model)
        changed_ = model->changed.connect([this] { reread(); });
    reread();
}

QuilletBarViewAdapter::~QuilletBarViewAdapter() = default;

double QuilletBarViewAdapter::cornerRadius() {
    return quillet::QuilletBarView::cornerRadius;
}
double QuilletBarViewAdapter::borderWidth() {
    return quillet::QuilletBarView::borderWidth;
}
double QuilletBarViewAdapter::borderWhiteOpacity() {
    return quillet::QuilletBarView::borderWhiteOpacity;
}
double QuilletBarViewAdapter::iconSize() {
    return quillet::QuilletBarView::iconSize;
}
double QuilletBarViewAdapter::spacing() {
    return quillet::QuilletBarView::spacing;
}
double QuilletBarViewAdapter::inset() {
    return quillet::QuilletBarView::inset;
}
double QuilletBarViewAdapter::highlightCornerRadius() {
    return quillet::QuilletBarView::highlightCornerRadius;
}
double QuilletBarViewAdapter::highlightOutset() {
    return quillet::QuilletBarView::highlightOutset;
}
double QuilletBarViewAdapter::placeholderFontSize() {
    return quillet::QuilletBarView::placeholderFontSize;
}
double QuilletBarViewAdapter::emptyFontSize() {
    return quillet::QuilletBarView::emptyFontSize;
}
QString QuilletBarViewAdapter::placeholderSource() {
    return symbolImageSource(quillet::QuilletBarView::placeholderSymbol, "secondary");
}
QString QuilletBarViewAdapter::emptyText() {
    return QString::fromUtf8(quillet::QuilletBarView::emptyText);
}
double QuilletBarViewAdapter::dividerWidth() {
    return quillet::QuilletBarView::dividerWidth;
}
double QuilletBarViewAdapter::dividerWhiteOpacity() {
    return quillet::QuilletBarView::dividerWhiteOpacity;
}

void QuilletBarViewAdapter::reread() {
    auto model = model_.lock();
    std::vector<HiddenItemCellsModel::Cell> cells;
    bool others = false;
    bool dividerDrawn = false;
    if (model) {
        for (const auto& cell : model->visibleCells()) {
            HiddenItemCellsModel::Cell c;
            c.windowID = cell.item.windowID;
            c.alwaysHidden = cell.alwaysHidden;
            if (cell.alwaysHidden && others && !dividerDrawn)
                c.dividerBefore = dividerDrawn = true;
            others = others || !cell.alwaysHidden;
            c.toolTip = QString::fromStdString(cell.toolTip());
            if (auto icon = cell.iconImage())
                c.iconSource = imageSource(*icon);
            c.hovered = model->isHovered(c.windowID);
            c.highlightOpacity = model->highlightOpacity(c.windowID);
            cells.push_back(std::move(c));
        }
    }
    const bool empty = !model || model->rootView().showsEmptyState();
    cells_.update(std::move(cells));
    const QString search = model ? QString::fromStdString(model->searchText()) : QString();
    if (search != searchText_) {
        searchText_ = search;
        emit searchTextChanged();
    }
    if (empty != empty_) {
        empty_ = empty;
        emit emptyChanged();
    }
}

void QuilletBarViewAdapter::tapCell(quint32 windowID) {
    // The model may replace itself from inside its callbacks: hold it for the call.
    if (auto model = model_.lock())
        model->tapCell(windowID);
}

void QuilletBarViewAdapter::pointerEnteredCell(quint32 windowID) {
    if (auto model = model_.lock())
        model->pointerEnteredCell(windowID);
}

void QuilletBarViewAdapter::pointerExitedCell(quint32 windowID) {
    if (auto model = model_.lock())
        model->pointerExitedCell(windowID);
}

void QuilletBarViewAdapter::pointerEnteredView() {
    if (auto model = model_.lock())
        model->pointerEnteredView();
}

void QuilletBarViewAdapter::pointerExitedView() {
    if (auto model = model_.lock())
        model->pointerExitedView();
}

void QuilletBarViewAdapter::typeText(const QString& text) {
    // Printable text only: keys that type control characters are not search text.
    QString typed;
    for (QChar ch : text)
        if (ch.isPrint())
            typed.append(ch);
    if (typed.isEmpty())
        return;
    if (auto model = model_.lock())
        model->typeText(typed.toStdString());
}

void QuilletBarViewAdapter::backspace() {
    auto model = model_.lock();
    if (!model || model->searchText().empty())
        return;
    // One character, not one byte, goes.
    auto text = QString::fromStdString(model->searchText());
    text.chop(text.size() > 1 && text.at(text.size() - 1).isLowSurrogate() ? 2 : 1);
    model->setSearchText(text.toStdString());
}

bool QuilletBarViewAdapter::pressReturn() {
    auto model = model_.lock();
    return model && model->pressReturn();
}

} // namespace quilletdesktop
