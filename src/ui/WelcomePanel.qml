pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// Shown while there is no current line: a greeting and the two ways to begin.
Item {
    id: root

    objectName: "welcomePanel"

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 36
        spacing: 24

        Item {
            Layout.fillHeight: true
        }

        Icon {
            name: "mic.badge.plus"
            color: Theme.accent
            size: 52
        }

        Label {
            text: "Ready to record."
            font.family: Theme.serif
            font.pixelSize: 48
            font.weight: Font.Medium
            color: Theme.ink
        }

        Label {
            text: "Read a line, record it, listen back.\nMove on when it sounds right."
            font.pixelSize: 18
            color: Theme.secondary
            lineHeightMode: Text.FixedHeight
            lineHeight: fontMetrics.height + 5

            FontMetrics {
                id: fontMetrics

                font.pixelSize: 18
            }
        }

        RowLayout {
            spacing: 12

            ActionButton {
                objectName: "welcomeImportButton"
                large: true
                prominent: true
                text: "Import script…"
                onClicked: RecorderModel.importScript()
            }
            ActionButton {
                objectName: "welcomeTestButton"
                large: true
                text: "Try a recording test"
                onClicked: RecorderModel.startRecordingTest()
            }
        }

        Label {
            text: "Import .txt, .csv or .json • Your progress saves automatically"
            font.pixelSize: Theme.caption
            color: Theme.secondary
        }

        Item {
            Layout.fillHeight: true
        }

        MicrophonePanel {
            Layout.fillWidth: true
        }
    }
}
