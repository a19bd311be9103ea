pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// The chosen take at a glance: its waveform with the speech's bounds shaded and clipped spots
// marked, a playhead while it plays, and below it what its check found, as chips that say
// what to do when hovered.
ColumnLayout {
    id: root

    readonly property var check: RecorderModel.takeCheck
    readonly property real duration: check.duration || 0

    /// Where `seconds` of the take stands across `width`.
    function place(seconds: real, width: real): real {
        return duration > 0 ? Math.max(0, Math.min(1, seconds / duration)) * width : 0
    }

    spacing: 8

    Item {
        Layout.fillWidth: true
        implicitHeight: 40

        Rectangle {
            objectName: "speechBounds"
            visible: (root.check.speechEnd ?? -1) > (root.check.speechStart ?? -1)
            x: root.place(root.check.speechStart ?? 0, parent.width)
            width: root.place(root.check.speechEnd ?? 0, parent.width) - x
            height: parent.height
            radius: 4
            color: Qt.rgba(0.15, 0.43, 0.37, 0.08)
        }
        Waveform {
            id: waveform

            objectName: "waveform"
            anchors.fill: parent
            source: root.check.path ?? ""
            color: Qt.rgba(0.15, 0.43, 0.37, 0.75)
        }
        Repeater {
            model: root.check.clippedAt ?? []

            Rectangle {
                required property real modelData

                objectName: "clippedSpot"
                x: root.place(modelData, parent.width)
                width: 1
                height: parent.height
                color: Theme.red
                opacity: 0.7
            }
        }
        Rectangle {
            objectName: "playhead"
            visible: RecorderModel.playing
            x: root.place(RecorderModel.elapsed, parent.width)
            width: 2
            height: parent.height
            color: Theme.ink
        }
    }

    Flow {
        objectName: "takeChips"
        Layout.fillWidth: true
        spacing: 6

        Label {
            objectName: "takeCheckState"
            visible: text !== ""
            text: !root.check.checked ? "Checking this take…"
                : root.check.failure ? root.check.failure
                : (root.check.chips ?? []).length === 0 ? "Level good" : ""
            textFormat: Text.PlainText
            font.pixelSize: Theme.caption
            color: root.check.failure ? Theme.warning : Theme.secondary
            width: Math.min(implicitWidth, root.width)
            wrapMode: Text.Wrap
        }
        Repeater {
            model: root.check.chips ?? []

            Label {
                id: chip

                required property var modelData

                objectName: "takeChip"
                text: modelData.title
                textFormat: Text.PlainText
                font.pixelSize: Theme.caption
                color: Theme.warning
                leftPadding: 8
                rightPadding: 8
                topPadding: 3
                bottomPadding: 3
                background: Rectangle {
                    radius: height / 2
                    color: Qt.rgba(0.95, 0.55, 0.0, 0.12)
                    border.width: 1
                    border.color: Qt.rgba(0.70, 0.36, 0.0, 0.35)
                }
                Accessible.role: Accessible.StaticText
                Accessible.name: text + ". " + modelData.tip

                HoverHandler {
                    id: hover
                }
                ToolTip.visible: hover.hovered
                ToolTip.text: modelData.tip
                ToolTip.delay: 400
            }
        }
    }
}
