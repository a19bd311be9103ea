pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// Above the line view and the welcome panel: what is open, the session options and export.
Item {
    id: root

    objectName: "header"
    implicitHeight: row.implicitHeight + 46

    RowLayout {
        id: row

        anchors.fill: parent
        anchors.leftMargin: 32
        anchors.rightMargin: 32
        anchors.topMargin: 23
        anchors.bottomMargin: 23
        spacing: 8

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 4

            Label {
                objectName: "headerLabel"
                text: RecorderModel.hasCurrent ? "RECORDING SESSION" : "WELCOME"
                font.pixelSize: 10
                font.bold: true
                font.letterSpacing: 2
                color: Theme.accent
            }
            Label {
                objectName: "headerTitle"
                Layout.fillWidth: true
                text: RecorderModel.hasSession ? RecorderModel.title : "Quorbel"
                textFormat: Text.PlainText
                font.family: Theme.serif
                font.pixelSize: 23
                font.weight: Font.DemiBold
                color: Theme.ink
                elide: Text.ElideRight
            }
        }

        AbstractButton {
            id: options

            objectName: "sessionOptionsButton"
            visible: RecorderModel.hasSession
            enabled: !RecorderModel.busy
            implicitWidth: 25
            implicitHeight: 25
            hoverEnabled: true
            opacity: enabled ? (hovered ? 0.75 : 1) : 0.42
            focusPolicy: Qt.TabFocus
            Accessible.name: "Session options"
            Accessible.role: Accessible.ButtonMenu
            onClicked: optionsMenu.open()

            contentItem: Icon {
                name: "ellipsis.circle"
                color: Theme.accent
                size: 22
            }
            background: Item {
                FocusRing {
                    shown: options.visualFocus
                    radius: width / 2
                }
            }

            Menu {
                id: optionsMenu

                objectName: "sessionOptionsMenu"
                x: options.width - width
                y: options.height + 4

                MenuItem {
                    objectName: "optionNewRecordingTest"
                    text: "New recording test"
                    onTriggered: RecorderModel.startRecordingTest()
                }
                MenuItem {
                    objectName: "optionImportScript"
                    text: "Import another script…"
                    onTriggered: Qt.callLater(() => RecorderModel.importScript())
                }
                MenuItem {
                    objectName: "optionOpenSession"
                    text: "Open session…"
                    onTriggered: Qt.callLater(() => RecorderModel.openSession())
                }
                MenuSeparator {}
                MenuItem {
                    id: startOver

                    objectName: "optionStartOver"
                    text: "Start over…"
                    palette.text: Theme.red
                    palette.highlight: Theme.red
                    enabled: !RecorderModel.exporting
                    onTriggered: Qt.callLater(() => RecorderModel.confirmStartOver())
                }
            }
        }

        ActionButton {
            objectName: "exportButton"
            visible: RecorderModel.hasSession
            text: "Export recordings"
            symbol: "square.and.arrow.up"
            enabled: !RecorderModel.busy && !RecorderModel.exporting && RecorderModel.recordedCount > 0
            onClicked: ApplicationWindow.window.askExport()
        }
    }
}
