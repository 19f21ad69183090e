// The hidden-items panel's content: one icon per hidden item in a row, or "Nothing tucked
// away", on a rounded strip of the desktop's light or dark material (the host's `appearance`)
// with a faint inner border. Sizes come from the view model;
// taps and hovers go back to it through `view` (a QuilletBarViewAdapter).
import QtQuick

Item {
    id: root
    required property QtObject view

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
                id: cell
                objectName: "hiddenItemCell"
                required property var windowID
                required property string toolTip
                required property string iconSource
                required property bool showsPlaceholder
                required property real highlightOpacity
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
