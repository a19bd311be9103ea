import QtQuick
import Quorbel

// The input level while a take records, out of 1; orange once the peak nears full scale.
Item {
    id: root

    required property real level
    /// The loudest sample so far came within half a decibel of full scale.
    required property bool loud

    readonly property color barColor: loud ? Theme.orange : Theme.accent

    objectName: "levelBar"
    implicitWidth: 120
    implicitHeight: 6
    Accessible.role: Accessible.ProgressBar
    Accessible.name: "Microphone level"

    Rectangle {
        anchors.fill: parent
        radius: height / 2
        color: Qt.rgba(0.14, 0.23, 0.23, 0.12)
    }
    Rectangle {
        width: parent.width * Math.max(0, Math.min(1, root.level))
        height: parent.height
        radius: height / 2
        color: root.barColor
    }
}
