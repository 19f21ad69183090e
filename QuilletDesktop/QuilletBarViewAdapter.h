// What QuilletBarView.qml reads: the hidden-items panel's view model turned into Qt properties
// and a list model of cells, re-read whenever the model changes; the QML's taps and hovers go
// back to the model. Main thread only.
#pragma once

#include <QAbstractListModel>
#include <QObject>
#include <QString>
#include <QVariant>
#include <boost/signals2/connection.hpp>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {
struct Image;
}

namespace quillet {
class QuilletBarHostingView;
}

namespace quilletdesktop {

// One row per cell, in the view's order.
class HiddenItemCellsModel final : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        WindowIDRole = Qt::UserRole + 1,
        ToolTipRole,
        IconSourceRole,
        ShowsPlaceholderRole,
        HoveredRole,
        HighlightOpacityRole,
        AlwaysHiddenRole,
        DividerBeforeRole,
    };

    struct Cell {
        std::uint32_t windowID = 0;
        QString toolTip;
        QString iconSource;
        bool hovered = false;
        double highlightOpacity = 0;
        // An item of the always-hidden section; the first of them after others has the
        // divider before it.
        bool alwaysHidden = false;
        bool dividerBefore = false;
        bool operator==(const Cell&) const = default;
    };

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const std::vector<Cell>& cells() const { return cells_; }
    // Takes the new cells: the same windows in the same order update their rows in place (QML
    // keeps the delegates); any other change resets the list.
    void update(std::vector<Cell> cells);

private:
    std::vector<Cell> cells_;
};

class QuilletBarViewAdapter final : public QObject {
    Q_OBJECT
    // The layout, in points, as the view model states it.
    Q_PROPERTY(double cornerRadius READ cornerRadius CONSTANT)
    Q_PROPERTY(double borderWidth READ borderWidth CONSTANT)
    Q_PROPERTY(double borderWhiteOpacity READ borderWhiteOpacity CONSTANT)
    Q_PROPERTY(double iconSize READ iconSize CONSTANT)
    Q_PROPERTY(double spacing READ spacing CONSTANT)
    Q_PROPERTY(double inset READ inset CONSTANT)
    Q_PROPERTY(double highlightCornerRadius READ highlightCornerRadius CONSTANT)
    Q_PROPERTY(double highlightOutset READ highlightOutset CONSTANT)
    Q_PROPERTY(double placeholderFontSize READ placeholderFontSize CONSTANT)
    Q_PROPERTY(double emptyFontSize READ emptyFontSize CONSTANT)
    Q_PROPERTY(QString placeholderSource READ placeholderSource CONSTANT)
    Q_PROPERTY(QString emptyText READ emptyText CONSTANT)
    Q_PROPERTY(double dividerWidth READ dividerWidth CONSTANT)
    Q_PROPERTY(double dividerWhiteOpacity READ dividerWhiteOpacity CONSTANT)
    // What changes with the model.
    Q_PROPERTY(bool empty READ empty NOTIFY emptyChanged)
    // What the user typed while the panel has the keyboard focus.
    Q_PROPERTY(QString searchText READ searchText NOTIFY searchTextChanged)
    Q_PROPERTY(QAbstractListModel* cells READ cellsModel CONSTANT)

public:
    explicit QuilletBarViewAdapter(std::shared_ptr<quillet::QuilletBarHostingView> model,
                                   QObject* parent = nullptr);
    ~QuilletBarViewAdapter() override;

    static double cornerRadius();
    static double borderWidth();
    static double borderWhiteOpacity();
    static double iconSize();
    static double spacing();
    static double inset();
    static double highlightCornerRadius();
    static double highlightOutset();
    static double placeholderFontSize();
    static double emptyFontSize();
    // The "app.dashed" symbol in the secondary label colour.
    static QString placeholderSource();
    static QString emptyText();
    static double dividerWidth();
    static double dividerWhiteOpacity();

    bool empty() const { return empty_; }
    QString searchText() const { return searchText_; }
    QAbstractListModel* cellsModel() { return &cells_; }
    const HiddenItemCellsModel& cells() const { return cells_; }

    // --- what the QML reports ---
    Q_INVOKABLE void tapCell(quint32 windowID);
    Q_INVOKABLE void pointerEnteredCell(quint32 windowID);
    Q_INVOKABLE void pointerExitedCell(quint32 windowID);
    Q_INVOKABLE void pointerEnteredView();
    Q_INVOKABLE void pointerExitedView();
    // Typing searches; Backspace takes the last character back; Return taps the first cell
    // shown (true when there was one).
    Q_INVOKABLE void typeText(const QString& text);
    Q_INVOKABLE void backspace();
    Q_INVOKABLE bool pressReturn();

signals:
    void emptyChanged();
    void searchTextChanged();

private:
    void reread();

    std::weak_ptr<quillet::QuilletBarHostingView> model_;
    boost::signals2::scoped_connection changed_;
    HiddenItemCellsModel cells_;
    bool empty_ = true;
    QString searchText_;
};

} // namespace quilletdesktop
