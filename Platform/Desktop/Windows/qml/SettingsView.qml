// The settings window: name and version, the three menu-bar preferences, the usage hint, the
// account box, the update row and Quit, in the dark appearance. Values and actions come from
// `view` (a SettingsViewAdapter).
import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

Rectangle {
    id: root
    required property QtObject view

    color: "#28282A"
    readonly property color label: "#F2F2F7"
    readonly property color secondaryLabel: Qt.rgba(235 / 255, 235 / 255, 245 / 255, 0.6)
    readonly property color boxFill: Qt.rgba(1, 1, 1, 0.06)

    palette.window: "#28282A"
    palette.windowText: label
    palette.text: label
    palette.buttonText: label
    palette.button: "#3A3A3C"
    palette.base: "#1E1E20"
    palette.highlight: "#0A84FF"
    palette.highlightedText: "white"
    palette.mid: "#4A4A4C"
    palette.light: "#5A5A5C"
    palette.dark: "#1C1C1E"

    // A switch drawn as the dark appearance draws it: green track when on, grey when off.
    component DarkSwitch: Switch {
        id: control
        indicator: Rectangle {
            x: control.leftPadding
            y: (control.height - height) / 2
            implicitWidth: 38
            implicitHeight: 22
            radius: 11
            color: control.checked ? "#30D158" : "#48484A"
            Rectangle {
                x: control.checked ? parent.width - width - 2 : 2
                y: 2
                width: 18
                height: 18
                radius: 9
                color: "white"
            }
        }
        contentItem: Text {
            leftPadding: control.indicator.width + 8
            verticalAlignment: Text.AlignVCenter
            text: control.text
            color: "#F2F2F7"
            font.pixelSize: 13
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 16

        // Header.
        ColumnLayout {
            spacing: 4
            RowLayout {
                spacing: 8
                Text {
                    text: root.view.title
                    color: root.label
                    font.pixelSize: 22
                    font.bold: true
                }
                Text {
                    objectName: "versionString"
                    text: root.view.versionString
                    color: root.secondaryLabel
                    font.pixelSize: 12
                    Layout.alignment: Qt.AlignBaseline
                }
            }
            Text {
                text: root.view.tagline
                color: root.secondaryLabel
                font.pixelSize: 13
            }
        }

        Rectangle { Layout.fillWidth: true; height: 1; color: Qt.rgba(1, 1, 1, 0.12) }

        DarkSwitch {
            objectName: "launchAtLogin"
            text: "Launch at Login"
            checked: root.view.launchAtLogin
            onToggled: root.view.setLaunchAtLogin(checked)
        }

        RowLayout {
            spacing: 8
            Layout.maximumWidth: 260
            Text { text: "Auto-rehide"; color: root.label; font.pixelSize: 13 }
            ComboBox {
                objectName: "autoRehide"
                Layout.fillWidth: true
                model: root.view.autoRehideChoices
                textRole: "label"
                valueRole: "seconds"
                currentIndex: {
                    const choices = root.view.autoRehideChoices
                    for (let i = 0; i < choices.length; ++i)
                        if (choices[i].seconds === root.view.autoRehideSeconds)
                            return i
                    return -1
                }
                displayText: currentIndex < 0 ? "" : currentText
                onActivated: index => root.view.selectAutoRehide(root.view.autoRehideChoices[index].seconds)
            }
        }

        DarkSwitch {
            objectName: "hoverPreview"
            text: "Show hidden items when hovering the chevron"
            checked: root.view.hoverPreviewEnabled
            onToggled: root.view.setHoverPreviewEnabled(checked)
        }

        // How it works.
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: hint.implicitHeight + 24
            radius: 8
            color: root.boxFill
            ColumnLayout {
                id: hint
                anchors.fill: parent
                anchors.margins: 12
                spacing: 4
                Text {
                    text: root.view.hintTitle
                    color: root.secondaryLabel
                    font.pixelSize: 12
                    font.weight: Font.DemiBold
                }
                Text {
                    Layout.fillWidth: true
                    text: root.view.hintText
                    color: root.secondaryLabel
                    font.pixelSize: 12
                    wrapMode: Text.WordWrap
                }
            }
        }

        // Account.
        Rectangle {
            objectName: "accountBox"
            Layout.fillWidth: true
            implicitHeight: account.implicitHeight + 24
            radius: 8
            color: root.boxFill
            ColumnLayout {
                id: account
                anchors.fill: parent
                anchors.margins: 12
                spacing: 8
                Text {
                    text: "Account"
                    color: root.secondaryLabel
                    font.pixelSize: 12
                    font.weight: Font.DemiBold
                }
                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        objectName: "accountText"
                        Layout.fillWidth: true
                        text: root.view.accountText
                        color: root.view.signedIn ? root.label : root.secondaryLabel
                        font.pixelSize: 12
                        elide: Text.ElideMiddle
                        maximumLineCount: 1
                    }
                    Button {
                        objectName: "accountButton"
                        text: root.view.accountButtonTitle
                        palette.buttonText: root.view.signedIn ? "#FF453A" : root.label
                        onClicked: root.view.tapAccountButton()
                    }
                }
            }
        }

        // Updates.
        RowLayout {
            Layout.fillWidth: true
            Button {
                objectName: "checkForUpdates"
                opacity: enabled ? 1 : 0.45
                text: "Check for Updates…"
                enabled: root.view.canCheckForUpdates
                onClicked: root.view.checkForUpdates()
            }
            Item { Layout.fillWidth: true }
            CheckBox {
                objectName: "betaUpdates"
                text: "Get early-access updates"
                font.pixelSize: 12
                checked: root.view.betaUpdates
                onToggled: root.view.setBetaUpdates(checked)
            }
        }

        Item { Layout.fillHeight: true }

        RowLayout {
            Layout.fillWidth: true
            Item { Layout.fillWidth: true }
            Button {
                objectName: "quit"
                text: "Quit Quillet"
                onClicked: root.view.quit()
            }
        }
    }
}
