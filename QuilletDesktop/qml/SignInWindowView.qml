// The library's sign-in screen in the sign-in window: header, the provider buttons (Apple,
// Google with its "G", e-mail), by phase a progress row, an offline card or an error line, and
// the privacy and terms links. Everything it shows comes from `view` (a
// SignInWindowViewAdapter); taps go back to it. The provider buttons, "Cancel sign-in", "Retry"
// and the two links are reached with Tab and Shift+Tab in visual order and show a focus ring;
// Space and Return press them; the first provider button has the focus when the window opens.
// Screen readers see each with its role and name, only while it shows, and its default action
// does what a click does.
import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

Rectangle {
    id: root
    required property QtObject view
    color: root.view.backgroundColor
    readonly property color focusRing: root.view.dark ? "#0A84FF" : "#007AFF"

    // A ring around the control that has the keyboard focus.
    component FocusRing: Rectangle {
        required property Item target
        visible: target.activeFocus
        anchors.fill: target
        anchors.margins: -3
        radius: 12
        color: "transparent"
        border.width: 2
        border.color: root.focusRing
    }

    Flickable {
        anchors.fill: parent
        contentWidth: width
        contentHeight: Math.max(height, column.implicitHeight + 64)
        clip: true

        ColumnLayout {
            id: column
            width: Math.min(parent.width - 64, 340)
            anchors.horizontalCenter: parent.horizontalCenter
            y: Math.max(32, (parent.height - implicitHeight) / 2)
            spacing: 14

            // Header.
            Text {
                objectName: "appName"
                Layout.alignment: Qt.AlignHCenter
                text: root.view.appName
                color: root.view.textColor
                font.pixelSize: 28
                font.bold: true
            }
            Text {
                Layout.alignment: Qt.AlignHCenter
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
                text: root.view.valueProp
                color: root.view.textColor
                opacity: 0.6
                font.pixelSize: 15
                Layout.bottomMargin: 12
            }

            // Offline card.
            ColumnLayout {
                objectName: "offlineCard"
                visible: root.view.phase === "offline"
                Layout.alignment: Qt.AlignHCenter
                spacing: 6
                Image {
                    Layout.alignment: Qt.AlignHCenter
                    source: root.view.offlineSymbolSource
                    sourceSize: Qt.size(30, 30)
                }
                Text {
                    Layout.alignment: Qt.AlignHCenter
                    text: "Can't reach Corvane"
                    color: root.view.textColor
                    font.pixelSize: 16
                    font.weight: Font.DemiBold
                }
                Text {
                    Layout.alignment: Qt.AlignHCenter
                    text: "Check your connection and try again."
                    color: root.view.textColor
                    font.pixelSize: 13
                }
                Button {
                    id: retry
                    objectName: "retry"
                    Layout.alignment: Qt.AlignHCenter
                    flat: true
                    text: "Retry"
                    focusPolicy: Qt.StrongFocus
                    Accessible.ignored: !visible
                    onClicked: root.view.tapRetry()
                    Keys.onReturnPressed: clicked()
                    Keys.onEnterPressed: clicked()
                    Accessible.onPressAction: clicked()
                    FocusRing { target: retry }
                }
            }

            // Provider buttons.
            Repeater {
                model: root.view.buttons
                delegate: Rectangle {
                    id: button
                    required property var modelData
                    required property int index
                    objectName: "provider-" + modelData.title
                    Layout.fillWidth: true
                    implicitHeight: 44
                    radius: 10
                    color: modelData.background
                    border.color: modelData.border
                    border.width: 1
                    opacity: modelData.opacity
                    // The first button has the focus when the window opens.
                    focus: index === 0
                    activeFocusOnTab: modelData.enabled
                    function press() {
                        if (button.modelData.enabled)
                            root.view.tapProvider(button.modelData.hint)
                    }
                    Keys.onSpacePressed: press()
                    Keys.onReturnPressed: press()
                    Keys.onEnterPressed: press()
                    Accessible.role: Accessible.Button
                    Accessible.name: modelData.title
                    Accessible.focusable: modelData.enabled
                    Accessible.focused: activeFocus
                    Accessible.onPressAction: press()
                    FocusRing { target: button }

                    Row {
                        anchors.centerIn: parent
                        spacing: 8
                        Image {
                            visible: button.modelData.symbolSource !== ""
                            anchors.verticalCenter: parent.verticalCenter
                            source: button.modelData.symbolSource
                            sourceSize: Qt.size(18, 18)
                        }
                        Canvas {
                            objectName: "googleG"
                            visible: button.modelData.google
                            anchors.verticalCenter: parent.verticalCenter
                            width: 18
                            height: 18
                            onPaint: {
                                const ctx = getContext("2d")
                                const stroke = width * 0.2
                                const r = (width - stroke) / 2
                                const c = width / 2
                                ctx.reset()
                                ctx.lineWidth = stroke
                                for (const arc of root.view.googleArcs) {
                                    ctx.strokeStyle = arc.color
                                    ctx.beginPath()
                                    ctx.arc(c, c, r, arc.start * Math.PI / 180, arc.end * Math.PI / 180, false)
                                    ctx.stroke()
                                }
                                ctx.fillStyle = root.view.googleBarColor
                                ctx.fillRect(c, c - stroke / 2, r + stroke / 2, stroke)
                            }
                        }
                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            text: button.modelData.title
                            color: button.modelData.foreground
                            font.pixelSize: 14
                            font.weight: Font.DemiBold
                        }
                    }
                    MouseArea {
                        anchors.fill: parent
                        enabled: button.modelData.enabled
                        cursorShape: Qt.PointingHandCursor
                        onClicked: button.press()
                    }
                }
            }

            // Busy: cancel and progress.
            Text {
                id: cancel
                objectName: "cancelSignIn"
                visible: root.view.showsCancel
                Layout.alignment: Qt.AlignHCenter
                Layout.topMargin: 2
                text: "Cancel sign-in"
                color: root.view.textColor
                opacity: 0.65
                font.pixelSize: 13
                font.weight: Font.Medium
                activeFocusOnTab: visible
                Keys.onSpacePressed: root.view.tapCancel()
                Keys.onReturnPressed: root.view.tapCancel()
                Keys.onEnterPressed: root.view.tapCancel()
                Accessible.role: Accessible.Button
                Accessible.name: text
                Accessible.focusable: true
                Accessible.focused: activeFocus
                Accessible.ignored: !visible
                Accessible.onPressAction: root.view.tapCancel()
                FocusRing { target: cancel; radius: 4 }
                MouseArea {
                    anchors.fill: parent
                    cursorShape: Qt.PointingHandCursor
                    onClicked: root.view.tapCancel()
                }
            }
            Row {
                objectName: "progress"
                visible: root.view.phase === "busy"
                Layout.alignment: Qt.AlignHCenter
                Layout.topMargin: 2
                spacing: 8
                Accessible.ignored: !visible
                BusyIndicator {
                    running: parent.visible
                    width: 16
                    height: 16
                    Accessible.ignored: true
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                    text: root.view.progressText
                    color: root.view.textColor
                    font.pixelSize: 13
                }
            }

            // Error line.
            Text {
                objectName: "errorMessage"
                visible: root.view.phase === "error"
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
                text: root.view.errorMessage
                color: root.view.errorColor
                font.pixelSize: 13
                font.weight: Font.Medium
                Accessible.role: Accessible.StaticText
                Accessible.name: root.view.errorMessage
                Accessible.ignored: !visible
            }

            // Footer.
            Row {
                Layout.alignment: Qt.AlignHCenter
                Layout.topMargin: 16
                spacing: 16
                Repeater {
                    model: [{ title: "Privacy Policy", url: root.view.privacyURL },
                            { title: "Terms of Service", url: root.view.termsURL }]
                    delegate: Text {
                        id: link
                        required property var modelData
                        objectName: "link-" + modelData.title
                        text: modelData.title
                        color: root.view.textColor
                        opacity: 0.7
                        font.pixelSize: 12
                        font.underline: true
                        activeFocusOnTab: true
                        function open() { root.view.openLink(link.modelData.url) }
                        Keys.onSpacePressed: open()
                        Keys.onReturnPressed: open()
                        Keys.onEnterPressed: open()
                        Accessible.role: Accessible.Link
                        Accessible.name: modelData.title
                        Accessible.description: modelData.url
                        Accessible.focusable: true
                        Accessible.focused: activeFocus
                        Accessible.onPressAction: open()
                        FocusRing { target: link; radius: 4 }
                        MouseArea {
                            anchors.fill: parent
                            cursorShape: Qt.PointingHandCursor
                            onClicked: link.open()
                        }
                    }
                }
            }
        }
    }
}
