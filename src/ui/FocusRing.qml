import QtQuick
import Quorbel

// The keyboard focus, seen: a 2 px ring in the accent colour just outside what it surrounds,
// while `shown` (a control's visual focus: the focus came from the keyboard, not a click).
Rectangle {
    property bool shown: false

    objectName: "focusRing"
    anchors.fill: parent
    anchors.margins: -4
    visible: shown
    color: "transparent"
    border.width: 2
    border.color: Theme.accent
}
