// The settings window: name and version, the three menu-bar preferences, the usage hint, the
// account box, the update row and Quit, in the desktop's light or dark appearance (the host's
// `appearance`). Values and actions come from `view` (a SettingsViewAdapter). Every control is
// reached with Tab and Shift+Tab in visual order and shows a focus ring; Space and Return press
// buttons and switches, the arrow keys change the auto-rehide choice; "Launch at Login" has the
// focus when the window opens. Screen readers get each control's role and name, and its default
// action does what a click does.
import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

Rectangle {
    id: root
    required property QtObject view

    color: appearance.windowBackground
    readonly property color label: appearance.label
    readonly property color secondaryLabel: appearance.secondaryLabel
    readonly property color boxFill: appearance.fill

    palette.window: appearance.windowBackground
    palette.windowText: label
    palette.text: label
    palette.buttonText: label
    palette.button: appearance.control
    palette.base: appearance.base
    palette.highlight: appearance.dark ? "#0A84FF" : "#007AFF"
    palette.highlightedText: "white"
    palette.mid: appearance.dark ? "#4A4A4C" : "#C7C7CC"
    palette.light: appearance.dark ? "#5A5A5C" : "#FFFFFF"
    palette.dark: appearance.dark ? "#1C1C1E" : "#AEAEB2"

    readonly property color focusRing: appearance.dark ? "#0A84FF" : "#007AFF"

    // A ring around the control that has the keyboard focus.
    component FocusRing: Rectangle {
        required property Item target
        visible: target.activeFocus
        anchors.fill: target
        anchors.margins: -3
        radius: 6
        color: "transparent"
        border.width: 2
        border.color: root.focusRing
    }

    // Space and Return press a button; a screen reader's press does the same.
    component KeyButton: Button {
        id: button
        focusPolicy: Qt.StrongFocus
        Keys.onReturnPressed: if (enabled) clicked()
        Keys.onEnterPressed: if (enabled) clicked()
        Accessible.onPressAction: if (enabled) clicked()
        FocusRing { target: button }
    }

    // A switch as the system draws it: green track when on, grey when off. Space and Return
    // flip it, as a click does.
    component DarkSwitch: Switch {
        id: control
        focusPolicy: Qt.StrongFocus
        Accessible.role: Accessible.CheckBox
        Accessible.name: text
        Accessible.checkable: true
        Accessible.checked: checked
        function flip() { toggle(); toggled() }
        Keys.onReturnPressed: flip()
        Keys.onEnterPressed: flip()
        Accessible.onPressAction: flip()
        Accessible.onToggleAction: flip()
        FocusRing { target: control }
        indicator: Rectangle {
            x: control.leftPadding
            y: (control.height - height) / 2
            implicitWidth: 38
            implicitHeight: 22
            radius: 11
            color: control.checked ? (appearance.dark ? "#30D158" : "#34C759") : appearance.controlOff
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
            color: root.label
            font.pixelSize: 13
        }
    }

    // A shortcut field: the stored keys (or "None") on a button; pressing it records the next
    // keys pressed together (Escape alone stops recording); "Clear" removes the shortcut. A
    // shortcut that cannot be had is explained below the field.
    component ShortcutField: ColumnLayout {
        id: field
        required property string title
        required property string sequence
        required property string message
        signal recorded(string sequence)
        property bool recording: false
        spacing: 2
        RowLayout {
            spacing: 8
            Text { text: field.title; color: root.label; font.pixelSize: 13; Layout.fillWidth: true }
            KeyButton {
                id: keys
                objectName: field.objectName + "Keys"
                implicitWidth: 130
                text: field.recording ? root.view.recordHotkeyPrompt
                                      : (field.sequence.length > 0 ? field.sequence : root.view.noHotkeyText)
                Accessible.name: field.title + ": " + text
                onClicked: field.recording = true
                onActiveFocusChanged: if (!activeFocus) field.recording = false
                Keys.onPressed: (event) => {
                    if (!field.recording)
                        return
                    event.accepted = true
                    if (event.key === Qt.Key_Escape && event.modifiers === Qt.NoModifier) {
                        field.recording = false
                        return
                    }
                    const sequence = root.view.keySequenceText(event.key, event.modifiers)
                    if (sequence.length === 0)
                        return // a modifier alone: keep listening
                    field.recording = false
                    field.recorded(sequence)
                }
            }
            KeyButton {
                objectName: field.objectName + "Clear"
                text: root.view.clearHotkeyTitle
                Accessible.name: root.view.clearHotkeyTitle + " " + field.title
                enabled: field.sequence.length > 0
                onClicked: field.recorded("")
            }
        }
        Text {
            visible: field.message.length > 0
            text: field.message
            color: appearance.dark ? "#FF6961" : "#D70015"
            font.pixelSize: 11
            Accessible.role: Accessible.StaticText
            Accessible.name: text
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

        Rectangle { Layout.fillWidth: true; height: 1; color: appearance.separator }

        DarkSwitch {
            objectName: "launchAtLogin"
            focus: true
            text: "Launch at Login"
            checked: root.view.launchAtLogin
            onToggled: root.view.setLaunchAtLogin(checked)
        }

        RowLayout {
            spacing: 8
            Layout.maximumWidth: 260
            Text { text: "Auto-rehide"; color: root.label; font.pixelSize: 13; Accessible.ignored: true }
            ComboBox {
                id: autoRehide
                objectName: "autoRehide"
                Layout.fillWidth: true
                focusPolicy: Qt.StrongFocus
                Accessible.name: "Auto-rehide"
                FocusRing { target: autoRehide }
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

        // Always hidden and hotkeys.
        ColumnLayout {
            objectName: "alwaysHiddenSection"
            Layout.fillWidth: true
            spacing: 8
            Text {
                text: root.view.alwaysHiddenSectionTitle
                color: root.secondaryLabel
                font.pixelSize: 12
                font.weight: Font.DemiBold
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
            DarkSwitch {
                objectName: "alwaysHidden"
                text: root.view.alwaysHiddenTitle
                checked: root.view.alwaysHiddenEnabled
                onToggled: root.view.setAlwaysHiddenEnabled(checked)
            }
            ShortcutField {
                objectName: "toggleHotkey"
                Layout.fillWidth: true
                title: root.view.toggleHotkeyTitle
                sequence: root.view.toggleHotkey
                message: root.view.toggleHotkeyMessage
                onRecorded: (sequence) => root.view.recordToggleHotkey(sequence)
            }
            ShortcutField {
                objectName: "alwaysHiddenHotkey"
                Layout.fillWidth: true
                title: root.view.alwaysHiddenHotkeyTitle
                sequence: root.view.alwaysHiddenHotkey
                message: root.view.alwaysHiddenHotkeyMessage
                onRecorded: (sequence) => root.view.recordAlwaysHiddenHotkey(sequence)
            }
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
                        Accessible.role: Accessible.StaticText
                        Accessible.name: text
                        text: root.view.accountText
                        color: root.view.signedIn ? root.label : root.secondaryLabel
                        font.pixelSize: 12
                        elide: Text.ElideMiddle
                        maximumLineCount: 1
                    }
                    BusyIndicator {
                        objectName: "accountBusy"
                        visible: root.view.accountButtonBusy
                        running: visible
                        implicitWidth: 18
                        implicitHeight: 18
                        Accessible.ignored: !visible
                    }
                    KeyButton {
                        objectName: "accountButton"
                        text: root.view.accountButtonTitle
                        // While a sign-out runs the button is busy and takes no presses.
                        enabled: !root.view.accountButtonBusy
                        opacity: enabled ? 1 : 0.45
                        palette.buttonText: root.view.signedIn ? (appearance.dark ? "#FF453A" : "#FF3B30") : root.label
                        onClicked: root.view.tapAccountButton()
                    }
                }
            }
        }

        // Updates.
        RowLayout {
            Layout.fillWidth: true
            KeyButton {
                objectName: "checkForUpdates"
                opacity: enabled ? 1 : 0.45
                text: "Check for Updates…"
                enabled: root.view.canCheckForUpdates
                onClicked: root.view.checkForUpdates()
            }
            Item { Layout.fillWidth: true }
            CheckBox {
                id: beta
                objectName: "betaUpdates"
                focusPolicy: Qt.StrongFocus
                text: "Get early-access updates"
                font.pixelSize: 12
                checked: root.view.betaUpdates
                onToggled: root.view.setBetaUpdates(checked)
                function flip() { toggle(); toggled() }
                Keys.onReturnPressed: flip()
                Keys.onEnterPressed: flip()
                Accessible.onPressAction: flip()
                Accessible.onToggleAction: flip()
                FocusRing { target: beta }
            }
        }

        Item { Layout.fillHeight: true }

        RowLayout {
            Layout.fillWidth: true
            Item { Layout.fillWidth: true }
            KeyButton {
                objectName: "quit"
                text: "Quit Quillet"
                onClicked: root.view.quit()
            }
        }
    }
}
