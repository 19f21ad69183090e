// The hidden-items panel's content: one icon per hidden item in a row, or "Nothing tucked
// away", on a rounded strip of the desktop's light or dark material (the host's `appearance`)
// with a faint inner border; the always-hidden section's items follow a thin divider. Sizes
// come from the view model; taps and hovers go back to it through `view` (a
// QuilletBarViewAdapter). While the panel has the keyboard focus, typing filters the icons by
// name (the text shows in the corner), Return picks the first and Escape (handled by the
// panel) clears the text, then closes.
import QtQuick

Item {
    id: root
    required property QtObject view
    focus: true

    Keys.onPressed: (event) => {
        if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
            root.view.pressReturn()
            event.accepted = true
        } else if (event.key === Qt.Key_Backspace) {
            root.view.backspace()
            event.accepted = true
        } else if (event.key !== Qt.Key_Escape && event.text.length > 0
                   && !(event.modifiers & (Qt.ControlModifier | Qt.MetaModifier))) {
            root.view.typeText(event.text)
            event.accepted = true
        }
    }

    readonly property color secondaryLabel: appearance.secondaryLabel

    // The material: a translucent fill, as the strip's.
    Rectangle {
        objectName: "material"
        anchors.fill: parent
        radius: root.view.cornerRadius
        color: appearance.material
        antialiasing: true
    }

    Text {
        objectName: "emptyText"
        visible: root.view.empty
        anchors.fill: parent
        anchors.leftMargin: root.view.inset
        anchors.rightMargin: root.view.inset
        text: root.view.emptyText
        color: root.secondaryLabel
        font.pixelSize: root.view.emptyFontSize
        maximumLineCount: 1
        wrapMode: Text.NoWrap
        elide: Text.ElideRight
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }

    Row {
        objectName: "iconRow"
        visible: !root.view.empty
        anchors.centerIn: parent
        spacing: root.view.spacing

        Repeater {
            model: root.view.cells

            delegate: Item {
                id: slot
                required property var windowID
                required property string toolTip
                required property string iconSource
                required property bool showsPlaceholder
                required property real highlightOpacity
                required property bool alwaysHidden
                required property bool dividerBefore
                readonly property real dividerSpace: dividerBefore
                                                     ? root.view.dividerWidth + root.view.spacing
                                                     : 0
                width: dividerSpace + root.view.iconSize
                height: root.view.iconSize

                // Between the hidden and the always-hidden items.
                Rectangle {
                    objectName: "divider"
                    visible: slot.dividerBefore
                    x: 0
                    y: -root.view.highlightOutset
                    width: root.view.dividerWidth
                    height: root.view.iconSize + 2 * root.view.highlightOutset
                    color: Qt.rgba(1, 1, 1, root.view.dividerWhiteOpacity)
                }

                Item {
                    id: cell
                    objectName: "hiddenItemCell"
                    readonly property var windowID: slot.windowID
                    readonly property string toolTip: slot.toolTip
                    readonly property string iconSource: slot.iconSource
                    readonly property bool showsPlaceholder: slot.showsPlaceholder
                    readonly property real highlightOpacity: slot.highlightOpacity
                    x: slot.dividerSpace
                    width: root.view.iconSize
                    height: root.view.iconSize

                    // The hover highlight reaches beyond the icon on every side.
                    Rectangle {
                        id: highlight
                        objectName: "highlight"
                        anchors.fill: parent
                        anchors.margins: -root.view.highlightOutset
                        radius: root.view.highlightCornerRadius
                        color: Qt.rgba(appearance.highlightTint.r, appearance.highlightTint.g,
                                       appearance.highlightTint.b, cell.highlightOpacity)
                        antialiasing: true
                    }

                    Image {
                        objectName: "icon"
                        readonly property real side: cell.showsPlaceholder ? root.view.placeholderFontSize
                                                                           : root.view.iconSize
                        anchors.centerIn: parent
                        width: side
                        height: side
                        source: cell.showsPlaceholder ? root.view.placeholderSource : cell.iconSource
                        sourceSize: Qt.size(side * 2, side * 2)
                        fillMode: Image.PreserveAspectFit
                        smooth: true
                        mipmap: true
                        // Nothing kept past the scene: the images are small and drawn once.
                        cache: false
                    }

                    // The cell's own 22 × 22 square receives the pointer, transparent parts of the
                    // icon too; the highlight drawn around it does not.
                    MouseArea {
                        objectName: "hitArea"
                        anchors.fill: parent
                        hoverEnabled: true
                        acceptedButtons: Qt.LeftButton
                        onEntered: root.view.pointerEnteredCell(cell.windowID)
                        onExited: root.view.pointerExitedCell(cell.windowID)
                        onClicked: root.view.tapCell(cell.windowID)
                    }
                }
            }
        }
    }

    // The search text, small in the top corner, while there is one.
    Text {
        objectName: "searchText"
        visible: root.view.searchText.length > 0
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.leftMargin: root.view.cornerRadius
        anchors.topMargin: 1
        text: root.view.searchText
        color: root.secondaryLabel
        font.pixelSize: 8
        maximumLineCount: 1
        elide: Text.ElideRight
        width: parent.width - 2 * root.view.cornerRadius
    }

    // The inner border, over the content.
    Rectangle {
        objectName: "border"
        anchors.fill: parent
        radius: root.view.cornerRadius
        color: "transparent"
        border.width: root.view.borderWidth
        border.color: Qt.rgba(1, 1, 1, root.view.borderWhiteOpacity)
        antialiasing: true
    }

    HoverHandler {
        objectName: "viewHover"
        onHoveredChanged: hovered ? root.view.pointerEnteredView() : root.view.pointerExitedView()
    }
}
